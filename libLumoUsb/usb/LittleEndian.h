// Little-endian fields of USB descriptors.
#pragma once

#include <cstdint>

namespace lumo::usb {

inline std::uint16_t ReadLittle16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace lumo::usb
