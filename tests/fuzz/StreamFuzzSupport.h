// Shared by the stream fuzz targets: one deterministic frame assembler run
// on a camera state of its own, and the comparison of two such runs (every
// queued frame, the decoder's state, the console log).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "camera/CameraState.h"
#include "camera/FrameAssembler.h"
#include "camera/FrameRecord.h"

namespace lumo::fuzz {

// Stops the fuzzer with a crash report naming the property that failed.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// Collects the console log of the run in progress; without one, drops it.
inline std::string*& LogTarget() {
  static std::string* target = nullptr;
  return target;
}
inline void CollectLog(const char* message) {
  if (LogTarget()) LogTarget()->append(message);
}

// Routes the console log into `log`, or nowhere when it is null, while it
// lives.
class LogCapture {
 public:
  explicit LogCapture(std::string* log) {
    LogTarget() = log;
    SetConsoleSink(&CollectLog);
  }
  ~LogCapture() {
    SetConsoleSink(nullptr);
    LogTarget() = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
};

// The frame pool and line scratch record of one kind of run, kept from one
// execution to the next so that a run writes to memory already mapped
// instead of fresh pages.
struct StreamBuffers {
  static constexpr int kMaxBuffers = 4;
  StreamBuffers() {
    for (int i = 0; i < kMaxBuffers; ++i) pool.push_back(camera::MakeRecord());
  }
  // A run may exchange the scratch record with pool buffers: all of them
  // come back, in some order.
  std::vector<camera::RecordPtr> pool;
  camera::RecordPtr scratch = camera::MakeRecord();
};

// One assembler run on a new camera state that borrows `buffers`, zeroed:
// the library leaves both uninitialised, and two runs are compared byte for
// byte. The buffers go back when the run ends.
class StreamRun {
 public:
  StreamRun(StreamBuffers& buffers, int bufferCount, int pixelSize, std::uint32_t ringStart = 0)
      : buffers_(buffers),
        state_(std::make_unique<camera::CameraState>("\\\\?\\usb#vid_04b4&pid_00f1#fuzz")) {
    bufferCount = std::min(std::max(bufferCount, 1), StreamBuffers::kMaxBuffers);
    state_->bufferCount = bufferCount;
    state_->pixelSize = pixelSize;
    state_->frames.pool = std::make_shared<camera::FramePool>();
    for (int i = 0; i < bufferCount; ++i) {
      std::memset(static_cast<void*>(buffers.pool[i].get()), 0, sizeof(camera::FrameRecord));
      state_->frames.pool->records.push_back(std::move(buffers.pool[i]));
    }
    std::memset(static_cast<void*>(buffers.scratch.get()), 0, sizeof(camera::FrameRecord));
    state_->lineDecoder.lineScratch = std::move(buffers.scratch);
    state_->streamRing.ringWritePos = ringStart;
    state_->streamRing.ringReadPos = ringStart;
    assembler_ = std::make_unique<camera::FrameAssembler>(*state_);
  }
  ~StreamRun() {
    // The pool's records go back to the empty places of the buffers.
    std::size_t next = 0;
    for (auto& record : state_->frames.pool->records) {
      while (buffers_.pool[next]) ++next;
      buffers_.pool[next] = std::move(record);
    }
    state_->frames.pool.reset();
    buffers_.scratch = std::move(state_->lineDecoder.lineScratch);
    state_->lineDecoder.lineFrame = nullptr;
    assembler_.reset();
  }
  StreamRun(const StreamRun&) = delete;
  StreamRun& operator=(const StreamRun&) = delete;

  camera::CameraState& state() { return *state_; }
  camera::FrameAssembler& assembler() { return *assembler_; }
  std::string log;

 private:
  StreamBuffers& buffers_;
  std::unique_ptr<camera::CameraState> state_;
  std::unique_ptr<camera::FrameAssembler> assembler_;
};

// Two records hold the same frame: the same bytes, with their own address
// fields pointing to the same offsets. An address a raw frame's record does
// not write (infoAddress) holds whatever the buffer held, pointing anywhere:
// two such are alike whenever neither points into its record.
inline bool SameRecord(const camera::FrameRecord& a, const camera::FrameRecord& b) {
  constexpr std::size_t kAddresses = offsetof(FrameRecordHeader, infoAddress);
  constexpr std::size_t kAfterAddresses = offsetof(FrameRecordHeader, imageAddress) + sizeof(void*);
  static_assert(kAfterAddresses == kAddresses + 2 * sizeof(void*), "the addresses are adjacent");
  const std::uint8_t* bytesA = reinterpret_cast<const std::uint8_t*>(&a);
  const std::uint8_t* bytesB = reinterpret_cast<const std::uint8_t*>(&b);
  auto offset = [](const std::uint8_t* address, const std::uint8_t* record) -> std::ptrdiff_t {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    const auto from = reinterpret_cast<std::uintptr_t>(record);
    if (at < from || at - from >= kFrameRecordSize) return -1;
    return static_cast<std::ptrdiff_t>(at - from);
  };
  return std::memcmp(bytesA, bytesB, kAddresses) == 0 &&
         offset(a.header.infoAddress, bytesA) == offset(b.header.infoAddress, bytesB) &&
         offset(a.header.imageAddress, bytesA) == offset(b.header.imageAddress, bytesB) &&
         std::memcmp(bytesA + kAfterAddresses, bytesB + kAfterAddresses,
                     kFrameRecordSize - kAfterAddresses) == 0;
}

// Both runs queued the same frames and left the same state. Call while both
// assemblers still run: their end drops the queued frames.
inline void RequireSameOutcome(StreamRun& runA, StreamRun& runB, bool compareLog) {
  camera::CameraState& a = runA.state();
  camera::CameraState& b = runB.state();
  {
    std::lock_guard<std::mutex> lockA(a.frames.frameLock);
    std::lock_guard<std::mutex> lockB(b.frames.frameLock);
    Require(a.frames.readyFrames.size() == b.frames.readyFrames.size(),
            "same number of queued frames");
    for (std::size_t i = 0; i < a.frames.readyFrames.size(); ++i) {
      const FrameRecordHeader& ha = a.frames.readyFrames[i]->header;
      const FrameRecordHeader& hb = b.frames.readyFrames[i]->header;
      Require(ha.width == hb.width && ha.height == hb.height, "same frame size");
      Require(ha.frameNumber == hb.frameNumber, "same frame number");
      Require(SameRecord(*a.frames.readyFrames[i], *b.frames.readyFrames[i]),
              "same frame contents");
    }
    Require(a.frames.freeFrames.size() == b.frames.freeFrames.size(),
            "same number of free buffers");
  }
  Require(a.completedFrames == b.completedFrames, "same count of completed raw frames");
  Require(a.lineDecoder.lineState == b.lineDecoder.lineState &&
              a.lineDecoder.packetType == b.lineDecoder.packetType &&
              a.lineDecoder.packetLength == b.lineDecoder.packetLength &&
              a.lineDecoder.payloadTaken == b.lineDecoder.payloadTaken,
          "same packet decoder state");
  Require(a.lineDecoder.lineCount == b.lineDecoder.lineCount &&
              a.lineDecoder.infoSeen == b.lineDecoder.infoSeen &&
              (a.lineDecoder.lineFrame == nullptr) == (b.lineDecoder.lineFrame == nullptr),
          "same line frame in progress");
  Require(SameRecord(*a.lineDecoder.lineScratch, *b.lineDecoder.lineScratch),
          "same scratch record");
  if (compareLog) Require(runA.log == runB.log, "same console log");
}

}  // namespace lumo::fuzz
