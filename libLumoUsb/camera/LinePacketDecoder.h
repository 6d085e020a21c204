// The line-packet decoder: in line-packet mode the blocks after a frame's
// header carry sync-framed packets (C53A A35C C53A, type, 32-bit length,
// payload of 16-bit words): a frame info packet, one packet per image line,
// and fillers. Packets may start anywhere and span blocks. The frame is
// gathered in the camera's scratch record and, once complete, copied into a
// free pool buffer and queued.
#pragma once

#include <cstdint>

namespace lumo::camera {

struct CameraState;
struct FrameRecord;

constexpr std::uint16_t kSyncWordA = 0xC53A;
constexpr std::uint16_t kSyncWordB = 0xA35C;
constexpr std::uint32_t kMaxPacketWords = 10000;
constexpr std::uint32_t kLineWidth = 1000;
constexpr std::uint32_t kLineHeight = 1000;

enum LinePacketType : std::uint16_t {
  kPacketInfo = 1,
  kPacketFirstLine = 2,
  kPacketLine = 3,
  kPacketLastLine = 4,
  kPacketFiller = 0x80,
};

// Decodes one 4096-byte block (2048 little-endian words) of an open
// line-packet frame. `blockCounter` is only reported.
void DecodeLinePackets(CameraState& state, const std::uint8_t* block, std::uint32_t frameNumber,
                       std::uint32_t blockCounter);

// Fills the record's header from the info payload in its info area.
void ApplyFrameInfo(FrameRecord& record);

// Copies a finished record into a free pool buffer and queues it; without
// a free buffer the frame is dropped.
void PublishLineFrame(CameraState& state, FrameRecord& record);

}  // namespace lumo::camera
