// Device descriptions as text, for `lumo list` and `lumo info`.
#pragma once

#include <cstdint>
#include <string>

#include "lumo/DeviceDescription.h"

namespace lumo::tool {

// "SuperSpeed (5 Gbit/s)", "high speed (480 Mbit/s)", ..., "unknown".
std::string SpeedText(std::uint8_t speed);
// A BCD version as "3.00".
std::string BcdText(std::uint16_t bcd);
// "bulk IN 0x81, 1024 bytes, bursts of 16"
std::string EndpointText(const LumoEndpointDescription& endpoint);
// The serial number part of a device path
// (\\?\usb#vid_04b4&pid_00f1#<serial>#{...}), or "".
std::string SerialFromPath(const std::string& path);

}  // namespace lumo::tool
