// The request format as the libusb driver reads and writes it: byte offsets
// into the request's header, taken from the driver contract's TransferRecord
// (platform/DriverInterface.h), and little-endian accessors. The driver
// works on the raw bytes of a request, which need not be aligned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/DriverInterface.h"

namespace lumo::platform::libusb::wire {

constexpr std::size_t kSetupOffset = offsetof(TransferRecord, setupPacket);
constexpr std::size_t kTimeLimitOffset = offsetof(TransferRecord, timeoutSeconds);
constexpr std::size_t kEndpointOffset = offsetof(TransferRecord, endpointAddress);
constexpr std::size_t kSystemStatusOffset = offsetof(TransferRecord, systemStatus);
constexpr std::size_t kUsbStatusOffset = offsetof(TransferRecord, usbStatus);
constexpr std::size_t kDataOffsetOffset = offsetof(TransferRecord, dataOffset);
constexpr std::size_t kDataLengthOffset = offsetof(TransferRecord, dataLength);
// Bytes the driver's text requests (CODE_DRIVER_TEXT_A, _B) answer with.
constexpr std::uint32_t kTextSize = 256;

inline std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace lumo::platform::libusb::wire
