#include "camera/FrameView.h"

#include <cstddef>
#include <cstring>

#include "camera/FrameBuffer.h"

namespace lumo::camera {

// The record's layout is the same on every word size.
static_assert(offsetof(LumoFrame, record) == 0, "LumoFrame layout");
static_assert(offsetof(LumoFrame, image) == 8, "LumoFrame layout");
static_assert(offsetof(LumoFrame, imageBytes) == 16, "LumoFrame layout");
static_assert(offsetof(LumoFrame, sequence) == 24, "LumoFrame layout");
static_assert(offsetof(LumoFrame, lostBefore) == 32, "LumoFrame layout");
static_assert(offsetof(LumoFrame, timestampNs) == 40, "LumoFrame layout");
static_assert(offsetof(LumoFrame, completedNs) == 48, "LumoFrame layout");
static_assert(offsetof(LumoFrame, width) == 56, "LumoFrame layout");
static_assert(offsetof(LumoFrame, height) == 60, "LumoFrame layout");
static_assert(offsetof(LumoFrame, bitsPerPixel) == 64, "LumoFrame layout");
static_assert(offsetof(LumoFrame, pixelFormat) == 68, "LumoFrame layout");
static_assert(offsetof(LumoFrame, mode) == 72, "LumoFrame layout");
static_assert(offsetof(LumoFrame, cameraFrameNumber) == 76, "LumoFrame layout");
static_assert(sizeof(LumoFrame) == 96, "LumoFrame layout");

void DescribeFrame(FrameRecord& record, LumoFrame* frame) {
  const FrameFacts& facts = FactsOf(record);
  const FrameRecordHeader& header = record.header;
  std::memset(frame, 0, sizeof *frame);
  frame->record = &record;
  frame->image = header.imageAddress;
  frame->imageBytes = facts.imageBytes;
  frame->sequence = facts.sequence;
  frame->lostBefore = facts.lostBefore;
  frame->timestampNs = facts.timestampNs;
  frame->completedNs = facts.completedNs;
  frame->width = facts.width;
  frame->height = facts.height;
  frame->cameraFrameNumber = header.frameNumber;
  // Raw images start at the raw offset; line-packet frames have an info
  // area before theirs, and their depth word counts bits.
  const bool linePacket = header.imageAddress != record.Bytes() + kRawImageOffset;
  frame->mode = linePacket ? LUMO_FRAME_LINE_PACKET : LUMO_FRAME_RAW;
  const std::uint32_t bytesPerPixel = linePacket ? (header.depth < 9 ? 1 : 2) : header.depth;
  frame->bitsPerPixel = bytesPerPixel * 8;
  frame->pixelFormat = bytesPerPixel == 1   ? LUMO_PIXEL_MONO8
                       : bytesPerPixel == 2 ? LUMO_PIXEL_MONO16
                                            : 0;
}

}  // namespace lumo::camera
