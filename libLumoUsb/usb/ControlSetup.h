// ControlSetup: the setup packet of one control request, passed by value
// with the request, so that requests on one endpoint-zero object do not
// share their setups. (The endpoint still records the last request's
// result in DriverStatus and BusStatus.)
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

  // A vendor request with index 0.
  static ControlSetup Vendor(std::uint8_t recipient, bool deviceToHost, std::uint8_t request,
                             std::uint16_t value, std::uint32_t timeoutMs) {
    ControlSetup setup;
    setup.recipient = recipient;
    setup.kind = 2;
    setup.deviceToHost = deviceToHost;
    setup.request = request;
    setup.value = value;
    setup.index = 0;
    setup.timeoutMs = timeoutMs;
    return setup;
  }

  // bmRequestType: direction << 7 | kind << 5 | recipient.
  std::uint8_t RequestType() const {
    return static_cast<std::uint8_t>((deviceToHost ? 0x80 : 0) | ((kind & 3) << 5) |
                                     (recipient & 0x1F));
  }
};

}  // namespace lumo::usb
