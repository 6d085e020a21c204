// Command frames: the framed, CRC-protected messages that carry register
// commands, register answers and the buffer channel over vendor control
// transfers on endpoint zero.
//
// Frame before escaping: 0x7E, control byte, length byte L, address (2, 4,
// 6 or 8 bytes, most significant first), a status byte for type 3, L data
// bytes, and a CRC-8/MAXIM-DOW check byte when control bit 0 is set. Every
// byte after the flag is escaped: 0x7E -> 7D 5E, 0x7D -> 7D 5D.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo::command {

// Vendor request carrying command frames, in both directions.
constexpr std::uint8_t kCommandRequest = 0xFE;
constexpr std::uint16_t kCommandValue = 0xF000;
constexpr std::uint32_t kPollLength = 2048;  // bytes asked for by each IN poll
constexpr std::uint32_t kCommandTimeoutMs = 2000;

constexpr std::uint8_t kFrameFlag = 0x7E;
constexpr std::uint8_t kFrameEscape = 0x7D;
constexpr std::uint8_t kEscapedFlag = 0x5E;
constexpr std::uint8_t kEscapedEscape = 0x5D;

constexpr std::uint8_t kFrameRegisterWrite = 0;
constexpr std::uint8_t kFrameBufferData = 1;
constexpr std::uint8_t kFrameRegisterRead = 2;
constexpr std::uint8_t kFrameWithStatus = 3;

// The address that carries the buffer channel instead of a register.
constexpr std::uint64_t kBufferChannelAddress = 0x5AA555AA;

// Both the plain and the encoded frame are built in buffers of this size.
constexpr std::size_t kFrameBufferSize = 512;
constexpr std::size_t kMaxFrameData = 255;

// CRC-8/MAXIM-DOW (reflected polynomial 0x8C, initial 0, no final XOR).
std::uint8_t Crc8(const std::uint8_t* data, std::size_t length, std::uint8_t crc = 0);

// Appends `byte` to `out` escaped; returns the new length.
std::size_t AppendEscaped(std::uint8_t* out, std::size_t length, std::uint8_t byte);

// Encodes a register frame (4-byte address, check byte on) of `type` into
// `out` (kFrameBufferSize bytes). On entry *length is the number of data
// bytes; on return it is the encoded length, which is also the result.
// Data that one frame cannot carry (a negative count, more than 255 bytes,
// or more than the encoded buffer holds) encode nothing: the result is 0.
std::int64_t EncodeCommandFrame(std::uint8_t* out, std::int32_t address, const std::uint8_t* data,
                                std::int64_t* length, int type);

}  // namespace lumo::command
