#include "FrameLayout.h"

#include "lumo/FrameRecord.h"

namespace lumo::tool {

bool ReadFrameLayout(const void* record, FrameLayout* layout, std::string* problem) {
  const auto& header = *static_cast<const lumo::FrameRecordHeader*>(record);
  const auto* base = static_cast<const std::uint8_t*>(record);
  FrameLayout frame;
  frame.number = header.frameNumber;
  frame.width = header.width;
  frame.height = header.height;
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(header.imageAddress) -
                                reinterpret_cast<std::uintptr_t>(base);
  std::size_t capacity = 0;
  if (offset == lumo::kLineImageOffset) {
    frame.linePacket = true;
    frame.bitsPerPixel = header.depth;
    frame.bytesPerPixel = header.depth < 9 ? 1 : 2;
    capacity = lumo::kFrameRecordSize - lumo::kLineImageOffset;
  } else if (offset == lumo::kRawImageOffset) {
    frame.bytesPerPixel = header.depth;
    frame.bitsPerPixel = header.depth * 8;
    capacity = lumo::kRawImageCapacity;
  } else {
    *problem = "the frame record's image address points outside the record";
    return false;
  }
  frame.pixels = base + offset;
  frame.imageBytes = std::size_t{frame.width} * frame.height * frame.bytesPerPixel;
  if (frame.bytesPerPixel == 0 || frame.width == 0 || frame.height == 0) {
    *problem = "the frame has no pixels (" + std::to_string(frame.width) + " x " +
               std::to_string(frame.height) + ", " + std::to_string(frame.bytesPerPixel) +
               " bytes per pixel)";
    return false;
  }
  if (frame.imageBytes > capacity) {
    *problem = "the frame's " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
               " x " + std::to_string(frame.bytesPerPixel) + " bytes do not fit in its record";
    return false;
  }
  *layout = frame;
  return true;
}

}  // namespace lumo::tool
