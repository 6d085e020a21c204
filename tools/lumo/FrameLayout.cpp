#include "FrameLayout.h"

#include "lumo/FrameRecord.h"

namespace lumo::tool {

bool LayoutOfFrame(const LumoFrame& lent, FrameLayout* layout, std::string* problem) {
  FrameLayout frame;
  frame.linePacket = lent.mode == LUMO_FRAME_LINE_PACKET;
  frame.number = lent.cameraFrameNumber;
  frame.width = lent.width;
  frame.height = lent.height;
  frame.bytesPerPixel = lent.bitsPerPixel / 8;
  frame.bitsPerPixel = lent.bitsPerPixel;
  // The description rounds a line-packet frame's depth up to whole bytes;
  // the header, first in the record, has the camera's own.
  if (frame.linePacket)
    frame.bitsPerPixel = static_cast<const lumo::FrameRecordHeader*>(lent.record)->depth;
  frame.pixels = static_cast<const std::uint8_t*>(lent.image);
  frame.imageBytes = std::size_t{frame.width} * frame.height * frame.bytesPerPixel;
  if (frame.bytesPerPixel == 0 || frame.width == 0 || frame.height == 0 || !frame.pixels) {
    *problem = "the frame has no pixels (" + std::to_string(frame.width) + " x " +
               std::to_string(frame.height) + ", " + std::to_string(frame.bytesPerPixel) +
               " bytes per pixel)";
    return false;
  }
  if (frame.imageBytes > lent.imageBytes) {
    *problem = "the frame's " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
               " x " + std::to_string(frame.bytesPerPixel) + " bytes are more than its image's " +
               std::to_string(lent.imageBytes);
    return false;
  }
  *layout = frame;
  return true;
}

}  // namespace lumo::tool
