// The vendor control request that carries command frames: request 0xFE,
// value 0xF000, endpoint recipient, in both directions.
#pragma once

#include <cstdint>

#include "command/CommandFrame.h"
#include "usb/ControlSetup.h"

namespace lumo::command {

// The setup of one command-channel transfer in the given direction.
inline usb::ControlSetup CommandSetup(bool deviceToHost, std::uint32_t timeoutMs) {
  constexpr std::uint8_t kEndpointRecipient = 2;
  return usb::ControlSetup::Vendor(kEndpointRecipient, deviceToHost, kCommandRequest, kCommandValue,
                                   timeoutMs);
}

}  // namespace lumo::command
