#include "command/CommandFrame.h"

#include <array>
#include <cstring>

namespace lumo::command {

namespace {

constexpr std::array<std::uint8_t, 256> MakeCrcTable() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    std::uint8_t crc = static_cast<std::uint8_t>(value);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
    table[value] = crc;
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x5E && kCrcTable[7] == 0x83, "CRC-8/MAXIM-DOW table");

}  // namespace

std::uint8_t Crc8(const std::uint8_t* data, std::size_t length, std::uint8_t crc) {
  for (std::size_t i = 0; i < length; ++i) crc = kCrcTable[crc ^ data[i]];
  return crc;
}

std::size_t AppendEscaped(std::uint8_t* out, std::size_t length, std::uint8_t byte) {
  if (byte == kFrameFlag || byte == kFrameEscape) {
    out[length++] = kFrameEscape;
    out[length++] = byte == kFrameFlag ? kEscapedFlag : kEscapedEscape;
  } else {
    out[length++] = byte;
  }
  return length;
}

std::int64_t EncodeCommandFrame(std::uint8_t* out, std::int32_t address, const std::uint8_t* data,
                                std::int64_t* length, int type) {
  const std::int64_t dataLength = *length;
  *length = 0;
  if (dataLength < 0 || dataLength > static_cast<std::int64_t>(kMaxFrameData)) return 0;

  std::uint8_t plain[kFrameBufferSize] = {};
  std::size_t size = 0;
  plain[size++] = kFrameFlag;
  plain[size++] = static_cast<std::uint8_t>(((type & 7) << 5) | (1 << 1) | 1);
  plain[size++] = static_cast<std::uint8_t>(dataLength);
  const auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(address));
  for (int shift = 24; shift >= 0; shift -= 8)
    plain[size++] = static_cast<std::uint8_t>(wide >> shift);
  if ((type & 7) == kFrameWithStatus) plain[size++] = 0;
  if (dataLength > 0 && data) {
    std::memcpy(plain + size, data, static_cast<std::size_t>(dataLength));
    size += static_cast<std::size_t>(dataLength);
  }
  plain[size] = Crc8(plain + 1, size - 1);
  ++size;

  // Escaping at most doubles every byte after the flag: refuse a frame
  // whose encoded form would not fit instead of cutting it short.
  std::size_t encodedSize = 1;
  for (std::size_t i = 1; i < size; ++i)
    encodedSize += (plain[i] == kFrameFlag || plain[i] == kFrameEscape) ? 2 : 1;
  if (encodedSize > kFrameBufferSize) return 0;

  std::size_t encoded = 0;
  out[encoded++] = kFrameFlag;
  for (std::size_t i = 1; i < size; ++i) encoded = AppendEscaped(out, encoded, plain[i]);
  *length = static_cast<std::int64_t>(encoded);
  return *length;
}

}  // namespace lumo::command
