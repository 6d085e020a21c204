// The check byte of command-channel frames: an 8-bit CRC with the reflected
// polynomial 0x8C (0x31 bit-reversed), initial value 0 and no final XOR, the
// CRC used by 1-Wire devices. The camera computes it with a 256-entry table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo::emulator {

// The CRC of `size` bytes, continuing from `crc` (0 for a fresh one).
std::uint8_t Crc8(const std::uint8_t* bytes, std::size_t size, std::uint8_t crc = 0);

}  // namespace lumo::emulator
