// HeaderBlock: how a frame's header block begins in the stream, five
// little-endian magic words. The assembler finds frames by it; the image
// reader announces a transfer that begins with it at once, so that the
// frame's header time is taken when it arrives rather than with the next
// batch of bytes.
#pragma once

#include <cstdint>

#include "usb/LittleEndian.h"

namespace lumo::camera {

constexpr std::uint32_t kHeaderMagic[5] = {0x803C4953, 0x93498218, 0x05897F8D, 0x9AB38089,
                                           0x0100A000};
constexpr std::uint32_t kHeaderMagicBytes = sizeof(kHeaderMagic);

// True when the kHeaderMagicBytes at `block` are the magic words.
inline bool IsHeaderBlock(const std::uint8_t* block) {
  for (int i = 0; i < 5; ++i)
    if (usb::ReadLittle32(block + 4 * i) != kHeaderMagic[i]) return false;
  return true;
}

}  // namespace lumo::camera
