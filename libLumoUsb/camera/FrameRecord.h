// A frame buffer of the pool: the public header, then the info area, the
// line area or the raw image, as its stream mode places them.
#pragma once

#include <cstdint>

#include "lumo/FrameRecord.h"

namespace lumo::camera {

struct FrameRecord {
  FrameRecordHeader header;
  std::uint8_t body[kFrameRecordSize - kFrameHeaderSize];

  std::uint8_t* Bytes() { return reinterpret_cast<std::uint8_t*>(this); }
};

static_assert(sizeof(FrameRecord) == kFrameRecordSize, "a frame record is 4 MiB");

}  // namespace lumo::camera
