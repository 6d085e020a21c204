// The line-packet decoder: in line-packet mode the blocks after a frame's
// header carry sync-framed packets (C53A A35C C53A, type, 32-bit length,
// payload of 16-bit words): a frame info packet, one packet per image line,
// and fillers. Packets may start anywhere and span blocks. The frame is
// gathered in the decoder's scratch record and, once complete, that record
// itself is queued for hand-out and a free pool buffer becomes the scratch.
//
// States (lineState): 0 hunting for the first sync word, 1 and 2 after the
// first and second sync words, 3 awaiting the type, 4 and 5 the high and
// low halves of the length, 6 at the start of a payload, 7 inside a payload
// that began in an earlier block.
#pragma once

#include <cstdint>
#include <memory>

#include "camera/FrameBuffer.h"
#include "camera/FrameRecord.h"

namespace lumo::camera {

class FrameHandOut;

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

class LinePacketDecoder {
 public:
  LinePacketDecoder() = default;
  LinePacketDecoder(const LinePacketDecoder&) = delete;
  LinePacketDecoder& operator=(const LinePacketDecoder&) = delete;

  // Decodes one 4096-byte block (2048 little-endian words) of an open
  // line-packet frame; finished frames go to `frames`. `blockCounter` is
  // only reported.
  void Decode(const std::uint8_t* block, std::uint32_t frameNumber, std::uint32_t blockCounter,
              FrameHandOut& frames);
  // Forgets the packet and the frame being decoded: a new frame's header
  // came, or the run ended.
  void Reset();

  FrameRecord* lineFrame = nullptr;  // lineScratch while a frame is assembled
  RecordPtr lineScratch;             // made on first use, kept for the camera's life
  // The run's sequence number and header time of the frame being decoded,
  // set by the assembler when its header block comes.
  std::uint64_t frameSequence = 0;
  std::int64_t frameTimestampNs = 0;
  std::uint32_t lineState = 0;
  bool infoSeen = false;  // the current frame's info packet was applied
  std::uint16_t packetType = 0;
  std::uint32_t lineCount = 0;     // lines stored in the current frame
  std::uint32_t packetLength = 0;  // payload words of the current packet
  std::uint32_t payloadTaken = 0;  // of those, already consumed
  // Frames finished so far: queued for hand-out, or lost for want of a free
  // buffer. Running counts, never reset; the assembler counts the change.
  std::uint32_t framesQueued = 0;
  std::uint32_t framesLost = 0;

 private:
  struct Cursor;

  // A refused packet's type word ended a block: the next block's first word
  // goes with it.
  bool skipNextWord_ = false;

  void ResetPacket();
  void OnSyncWord(Cursor& words);
  void OnType(Cursor& words);
  void OnLength(Cursor& words);
  void StartPayload(Cursor& words, std::uint32_t frameNumber, std::uint32_t blockCounter,
                    FrameHandOut& frames);
  void TakePayload(Cursor& words, FrameHandOut& frames);
  FrameRecord& BeginFrame(std::uint32_t frameNumber);
  std::uint64_t LineOffset(std::uint32_t wordsTaken) const;
  void FinishInfo(FrameHandOut& frames);
  void FinishLine(FrameHandOut& frames);
  void Publish(FrameHandOut& frames);
};

// Fills the record's header from the info payload in its info area.
void ApplyFrameInfo(FrameRecord& record);

// Hands a finished scratch record over to the hand-out queue without a
// copy: a free pool buffer takes its place as `record`. Without a free
// buffer the frame is lost and `record` stays as it is. True when the frame
// was queued.
bool PublishLineFrame(FrameHandOut& frames, RecordPtr& record);

}  // namespace lumo::camera
