// The values of a USB endpoint descriptor and of a SuperSpeed endpoint
// companion descriptor, as the endpoint objects take them.
#pragma once

#include <cstdint>

namespace lumo::usb {

struct EndpointDescriptor {
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bEndpointAddress = 0;
  std::uint8_t bmAttributes = 0;
  std::uint16_t wMaxPacketSize = 0;
  std::uint8_t bInterval = 0;
};

struct CompanionDescriptor {
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bMaxBurst = 0;
  std::uint8_t bmAttributes = 0;
  std::uint16_t wBytesPerInterval = 0;
};

// Transfer types in the low bits of bmAttributes.
constexpr std::uint8_t kTransferControl = 0;
constexpr std::uint8_t kTransferIsochronous = 1;
constexpr std::uint8_t kTransferBulk = 2;
constexpr std::uint8_t kTransferInterrupt = 3;

}  // namespace lumo::usb
