// The vendor control request that carries command frames: request 0xFE,
// value 0xF000, endpoint recipient, in both directions.
#pragma once

#include <cstdint>

#include "command/CommandFrame.h"
#include "usb/ControlSetup.h"

namespace lumo::command {

// The setup of one command-channel transfer in the given direction.
inline usb::ControlSetup CommandSetup(bool deviceToHost, std::uint32_t timeoutMs) {
  usb::ControlSetup setup;
  setup.recipient = 2;  // endpoint
  setup.kind = 2;       // vendor
  setup.deviceToHost = deviceToHost;
  setup.request = kCommandRequest;
  setup.value = kCommandValue;
  setup.index = 0;
  setup.timeoutMs = timeoutMs;
  return setup;
}

}  // namespace lumo::command
