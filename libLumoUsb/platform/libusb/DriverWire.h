// The kernel driver's request format, as the libusb driver serves it: the
// control codes and the offsets of the 38-byte transfer header. The driver
// plays the other side of the library's USB layer, so it keeps its own copy
// of these numbers rather than sharing that layer's encoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace lumo::platform::libusb::wire {

// Device-interface class of the camera driver.
constexpr Guid kInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};
constexpr char kInterfaceClassText[] = "{ae18aa60-7f6a-11d4-97dd-00010229b959}";

constexpr std::uint32_t kDriverInfoA = 0x220000;
constexpr std::uint32_t kDriverInfoB = 0x220004;
constexpr std::uint32_t kGetAlternate = 0x220008;
constexpr std::uint32_t kDriverInfoByte = 0x220010;
constexpr std::uint32_t kControlTransfer = 0x220020;
constexpr std::uint32_t kBufferedTransfer = 0x220024;
constexpr std::uint32_t kSetTransferLength = 0x220038;
constexpr std::uint32_t kDriverTextA = 0x22003C;
constexpr std::uint32_t kDriverTextB = 0x220040;
constexpr std::uint32_t kAbortEndpoint = 0x220044;
constexpr std::uint32_t kDirectTransfer = 0x22004B;
constexpr std::uint32_t kDeviceState = 0x22004C;

constexpr std::size_t kHeaderSize = 38;
constexpr std::size_t kSetupOffset = 0;
constexpr std::size_t kTimeLimitOffset = 8;
constexpr std::size_t kEndpointOffset = 13;
constexpr std::size_t kSystemStatusOffset = 14;
constexpr std::size_t kUsbStatusOffset = 18;
constexpr std::size_t kTableLengthOffset = 26;
constexpr std::size_t kDataOffsetOffset = 30;
constexpr std::size_t kDataLengthOffset = 34;
constexpr std::size_t kSetupSize = 8;
constexpr std::uint32_t kTextSize = 256;

// Status words written into a finished request's header, with the values
// the Windows USB stack uses: (USB status, system status).
constexpr std::uint32_t kUsbStatusStall = 0xC0000004;
constexpr std::uint32_t kSystemStatusStall = 0xC0000001;  // STATUS_UNSUCCESSFUL
constexpr std::uint32_t kUsbStatusCanceled = 0xC0010000;
constexpr std::uint32_t kSystemStatusCancelled = 0xC0000120;
constexpr std::uint32_t kSystemStatusTimeout = 0xC00000B5;
constexpr std::uint32_t kUsbStatusDeviceGone = 0xC0007000;
constexpr std::uint32_t kSystemStatusNoSuchDevice = 0xC000000E;
constexpr std::uint32_t kUsbStatusError = 0xC0000011;  // transaction error (babble, CRC)

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
