// The frame assembler: drains the StreamRing in 4096-byte blocks, finds the
// header block that opens each frame, and builds complete frames in the
// frame pool: raw frames block by block, line-packet frames through the
// line-packet decoder. Completed frames are queued in readyFrames.
#pragma once

#include <array>
#include <cstdint>

#include "camera/FrameBuffer.h"

namespace lumo::camera {

struct CameraState;
struct FrameRecord;
class FrameHandOut;
class StreamRing;

constexpr std::uint32_t kStreamBlockSize = 4096;
constexpr std::uint32_t kAssemblerIdleWaitMs = 100;
constexpr std::uint32_t kLinePacketMode = 0x52434D4C;  // "LMCR" in stream order
constexpr std::uint32_t kExpectedPackCount = 305;
constexpr std::uint32_t kBlocksPerCount = 64;
// The largest raw image a frame record is made for (256 MiB; fuzzing
// builds, whose records are small, keep to 1 MiB).
#if defined(LUMO_SMALL_BUFFERS)
constexpr std::uint64_t kMaxRawImageBytes = 1ull << 20;
#else
constexpr std::uint64_t kMaxRawImageBytes = 256ull << 20;
#endif

// One run of the assembler. Construction begins the run of the frame
// hand-out (the pool, made beforehand, gives the free buffers); destruction
// counts a frame cut off as incomplete, publishes the block count, ends the
// hand-out's run (its queues are emptied; the pool stays for a run resumed
// after an unplug, and acquisition's end releases it, frames still lent
// keeping their buffers) and resets the line-packet decoder.
class FrameAssembler {
 public:
  explicit FrameAssembler(CameraState& state);
  ~FrameAssembler();
  FrameAssembler(const FrameAssembler&) = delete;
  FrameAssembler& operator=(const FrameAssembler&) = delete;

  // Moves up to one block's worth of unread ring bytes and processes the
  // block once it is whole. False when the ring held nothing unread.
  bool Pass();
  void ProcessBlock(const std::uint8_t* block);
  // Publishes the whole blocks taken from the ring since the last call to
  // the camera's counters (done every kBlocksPerCount blocks, when the ring
  // runs empty and at the end of the run).
  void PublishBlockCount();

 private:
  void CountTaken(std::uint32_t bytes) {
    uncountedBytes_ += bytes;
    if (uncountedBytes_ >= kBlocksPerCount * kStreamBlockSize) PublishBlockCount();
  }

  void OpenFrame(const std::uint8_t* block);
  // Bytes were lost where the ring's next byte stands: the partial block is
  // dropped, and so is the frame being assembled.
  void LoseAlignment();
  // No frame is open and `block` is no header: looks for the header's first
  // bytes at every later byte of the block and, where they stand, starts
  // counting blocks from there.
  void FindHeader(const std::uint8_t* block);
  void StoreRawBlock(const std::uint8_t* block);
  void CompleteRawFrame();
  // Writes the open frame's sequence, header time, size and geometry into
  // the facts of the record it is stored in.
  void StampFacts(FrameFacts& facts) const;
  // The open frame ends before it was completed or lost: counted as
  // incomplete unless its fate is already counted.
  void AbandonFrame();

  CameraState& state_;
  StreamRing& ring_;
  FrameHandOut& frames_;
  const std::int32_t pixelSize_;
  const std::int32_t bufferCount_;
  std::array<std::uint8_t, kStreamBlockSize> work_;
  std::uint32_t fill_ = 0;
  bool frameOpen_ = false;
  bool frameRefused_ = false;     // a raw frame larger than any record may be
  bool grownSaid_ = false;        // the records' growth was logged this run
  std::uint64_t frameBytes_ = 0;  // raw image bytes of the open frame
  std::uint64_t frameSequence_ = 0;
  std::int64_t frameTimestampNs_ = 0;
  std::uint32_t expectedFrame_ = 0;
  std::uint32_t blockCounter_ = 0;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t mode_ = 0;
  std::uint32_t frameNumber_ = 0;
  std::uint32_t receivedBytes_ = 0;
  FrameRecord* current_ = nullptr;
  // The open frame has been counted (completed or lost): whatever happens
  // to it now is not counted again.
  bool frameCounted_ = false;
  std::uint32_t uncountedBytes_ = 0;  // taken from the ring, not yet counted
};

// Thread routine: drains the ring while acqRunning is set, waiting up to
// 100 ms for an announcement when it is empty.
void RunFrameAssembler(CameraState* state);

}  // namespace lumo::camera
