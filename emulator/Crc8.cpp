#include "Crc8.h"

#include <array>

namespace lumo::emulator {

namespace {

constexpr std::uint8_t kReflectedPolynomial = 0x8C;

constexpr std::array<std::uint8_t, 256> MakeTable() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? (crc >> 1) ^ kReflectedPolynomial : crc >> 1;
    table[i] = static_cast<std::uint8_t>(crc);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x5E && kTable[2] == 0xBC && kTable[7] == 0x83,
              "CRC table does not match the reflected 0x31 polynomial");

}  // namespace

std::uint8_t Crc8(const std::uint8_t* bytes, std::size_t size, std::uint8_t crc) {
  for (std::size_t i = 0; i < size; ++i) crc = kTable[crc ^ bytes[i]];
  return crc;
}

}  // namespace lumo::emulator
