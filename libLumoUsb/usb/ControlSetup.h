// ControlSetup: the setup packet of one control request, passed by value
// with the request; endpoint objects keep no per-request state.
#pragma once

#include <cstdint>

namespace lumo::usb {

struct ControlSetup {
  std::uint8_t recipient = 0;  // 0 device, 1 interface, 2 endpoint, 3 other
  std::uint8_t kind = 2;       // 0 standard, 1 class, 2 vendor
  bool deviceToHost = false;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint32_t timeoutMs = 10000;  // of the whole request

  // bmRequestType: direction << 7 | kind << 5 | recipient.
  std::uint8_t RequestType() const {
    return static_cast<std::uint8_t>((deviceToHost ? 0x80 : 0) | ((kind & 3) << 5) |
                                     (recipient & 0x1F));
  }
};

}  // namespace lumo::usb
