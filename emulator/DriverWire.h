// The kernel driver's request format as the emulated driver reads it: the
// interface class, the control codes, and the offsets of the 38-byte
// transfer header. The emulator plays the other side of the library and
// therefore keeps its own copy of these numbers instead of sharing the
// library's encoder: a mistake on one side then shows up as a failing test
// instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace lumo::emulator::wire {

// Device-interface class of the driver ({AE18AA60-7F6A-11D4-97DD-00010229B959}).
constexpr platform::Guid kInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

// A device-interface class of the emulator's own, which the library never
// enumerates: devices plugged under it are reached only by their path, by
// bridges that present them on another bus.
constexpr platform::Guid kBackstageClass = {
    0x4C554D4F, 0x4241, 0x434B, {0x53, 0x54, 0x41, 0x47, 0x45, 0x00, 0x00, 0x01}};

// I/O control codes.
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

// Transfer header: byte offsets of its fields.
constexpr std::size_t kHeaderSize = 38;
constexpr std::size_t kSetupOffset = 0;          // 8-byte setup packet
constexpr std::size_t kTimeLimitOffset = 8;      // seconds, control only
constexpr std::size_t kEndpointOffset = 13;      // endpoint address
constexpr std::size_t kSystemStatusOffset = 14;  // written by the driver
constexpr std::size_t kUsbStatusOffset = 18;     // written by the driver
constexpr std::size_t kTableOffsetOffset = 22;
constexpr std::size_t kTableLengthOffset = 26;
constexpr std::size_t kDataOffsetOffset = 30;
constexpr std::size_t kDataLengthOffset = 34;
constexpr std::size_t kPacketEntrySize = 8;  // one isochronous packet-table entry

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

}  // namespace lumo::emulator::wire
