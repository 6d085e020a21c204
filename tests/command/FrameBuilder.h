// Builds camera frames for receiver tests, independently of the library's
// encoder: any control byte, address width, status byte and check byte, with
// a bit-by-bit CRC-8/MAXIM-DOW.
#pragma once

#include <cstdint>
#include <vector>

namespace lumo::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint8_t ReferenceCrc8(const Bytes& data) {
  std::uint8_t crc = 0;
  for (std::uint8_t byte : data) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ byte) & 1) != 0;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

inline Bytes Escape(const Bytes& plain) {
  Bytes out = {0x7E};
  for (std::uint8_t byte : plain) {
    if (byte == 0x7E || byte == 0x7D) {
      out.push_back(0x7D);
      out.push_back(byte == 0x7E ? 0x5E : 0x5D);
    } else {
      out.push_back(byte);
    }
  }
  return out;
}

// A frame as a camera sends it. `control` decides address width, status
// byte and check byte; the address is written in as many bytes as it asks.
inline Bytes CameraFrame(std::uint8_t control, std::uint64_t address, const Bytes& data,
                         std::uint8_t status = 0) {
  Bytes plain = {control, static_cast<std::uint8_t>(data.size())};
  const int width = 2 * ((control >> 1) & 3) + 2;
  for (int i = width - 1; i >= 0; --i)
    plain.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  if ((control >> 5) == 3) plain.push_back(status);
  plain.insert(plain.end(), data.begin(), data.end());
  if (control & 1) plain.push_back(ReferenceCrc8(plain));
  return Escape(plain);
}

// A register answer as the camera sends it: 4-byte address, check byte on.
inline Bytes RegisterAnswer(std::uint32_t address, const Bytes& data) {
  return CameraFrame(0x43, address, data);
}

// Buffer-channel data from the camera: its whole data field reaches the ring.
inline Bytes BufferData(const Bytes& data) { return CameraFrame(0x22, 0x5AA555AA, data); }

}  // namespace lumo::test
