#include "camera/FrameAssembler.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Log.h"
#include "camera/CameraState.h"
#include "camera/HeaderBlock.h"
#include "camera/LinePacketDecoder.h"
#include "usb/LittleEndian.h"

namespace lumo::camera {

namespace {

using usb::ReadLittle16;
using usb::ReadLittle32;

// The header's first 20 bytes as they stand in the stream.
const std::array<std::uint8_t, 20>& HeaderMarker() {
  static const std::array<std::uint8_t, 20> marker = [] {
    std::array<std::uint8_t, 20> bytes{};
    for (int i = 0; i < 20; ++i)
      bytes[i] = static_cast<std::uint8_t>(kHeaderMagic[i / 4] >> (8 * (i % 4)));
    return bytes;
  }();
  return marker;
}

}  // namespace

FrameAssembler::FrameAssembler(CameraState& state)
    : state_(state),
      ring_(state.streamRing),
      frames_(state.frames),
      pixelSize_(state.pixelSize),
      bufferCount_(state.bufferCount) {
  frames_.BeginRun();
}

FrameAssembler::~FrameAssembler() {
  // A frame cut off by the end of the run (stop or unplug) is incomplete.
  if (frameOpen_) AbandonFrame();
  PublishBlockCount();
  frames_.EndRun();
  state_.lineDecoder.Reset();
}

bool FrameAssembler::Pass() {
  const std::uint32_t write = ring_.ringWritePos.load(std::memory_order_acquire);
  std::uint32_t read = ring_.ringReadPos.load(std::memory_order_relaxed);
  std::uint32_t gap = 0;
  const bool gapAhead = ring_.NextGap(&gap);
  if (gapAhead && gap == read) {
    ring_.PopGap();
    LoseAlignment();
    return true;
  }
  if (write == read) return false;
  const std::uint8_t* ring = ring_.ring.get();
  const std::uint32_t tail = kStreamRingSize - read;
  std::uint32_t available = write > read ? write - read : tail + write;
  // Bytes up to a gap only: what follows it is not where the block expects.
  if (gapAhead) {
    const std::uint32_t toGap = gap >= read ? gap - read : tail + gap;
    if (toGap < available) available = toGap;
  }

  // A whole block lying in one piece is processed where it is.
  if (fill_ == 0 && available >= kStreamBlockSize && tail >= kStreamBlockSize) {
    const std::uint8_t* block = ring + read;
    read += kStreamBlockSize;
    if (read == kStreamRingSize) read = 0;
    ring_.ringReadPos.store(read, std::memory_order_release);
    CountTaken(kStreamBlockSize);
    ProcessBlock(block);
    return true;
  }

  const std::uint32_t n = std::min(available, kStreamBlockSize - fill_);
  if (n < tail) {
    std::memcpy(work_.data() + fill_, ring + read, n);
    read += n;
  } else {
    std::memcpy(work_.data() + fill_, ring + read, tail);
    std::memcpy(work_.data() + fill_ + tail, ring, n - tail);
    read = n - tail;
  }
  fill_ += n;
  ring_.ringReadPos.store(read, std::memory_order_release);
  CountTaken(n);
  if (fill_ == kStreamBlockSize) {
    fill_ = 0;
    ProcessBlock(work_.data());
  }
  return true;
}

void FrameAssembler::OpenFrame(const std::uint8_t* block) {
  const std::uint16_t nw = ReadLittle16(block + 24);
  const std::uint16_t nh = ReadLittle16(block + 26);
  const std::uint32_t nframecount = ReadLittle32(block + 28);
  const std::uint32_t packcount = ReadLittle32(block + 32);
  const std::uint16_t cacheCount = ReadLittle16(block + 40);
  const std::uint16_t cacheUseCount = ReadLittle16(block + 42);

  if (!frameOpen_) {
    expectedFrame_ = nframecount;
  } else {
    TraceLog("last recv pacv :%d\r\n", static_cast<int>(blockCounter_));
    AbandonFrame();
  }
  frameCounted_ = false;
  TraceLog(
      "new frame packcount:%d,nframecount:%d,ncache_count:%d,ncache_use_count:%d,nw:%d,nh:%d\r\n",
      static_cast<int>(packcount), static_cast<int>(nframecount), cacheCount, cacheUseCount, nw,
      nh);
  frameOpen_ = true;
  width_ = nw;
  height_ = nh;
  receivedBytes_ = 0;
  blockCounter_ = packcount;
  mode_ = ReadLittle32(block + 44);
  if (expectedFrame_ != nframecount)
    TraceLog("error r:%d if:%d\r\n", static_cast<int>(nframecount),
             static_cast<int>(expectedFrame_));
  if (packcount != kExpectedPackCount) TraceLog("error pack %d\r\n", static_cast<int>(packcount));
  expectedFrame_ = nframecount + 1;
  state_.lineDecoder.Reset();
  frameNumber_ = nframecount;

  frameSequence_ = frames_.NextSequence();
  frameTimestampNs_ = SteadyNowNs();
  state_.lineDecoder.frameSequence = frameSequence_;
  state_.lineDecoder.frameTimestampNs = frameTimestampNs_;

  // A raw frame is stored in whole blocks behind the image offset. One
  // larger than the records hold makes them grow as they are taken for it;
  // one larger than any record may be is refused.
  const std::uint64_t size =
      std::uint64_t{width_} * height_ * static_cast<std::uint32_t>(pixelSize_);
  frameBytes_ = size;
  frameRefused_ = mode_ != kLinePacketMode && size > kMaxRawImageBytes;
  if (frameRefused_)
    TraceLog("frame %d refused: %llu bytes\r\n", static_cast<int>(nframecount),
             static_cast<unsigned long long>(size));

  // An incomplete frame's buffer stays current and the new frame starts
  // over in it (its header fields stay as they were set when it was
  // taken), but what the library tells of the frame is the new frame's. A
  // buffer too small for the new frame goes back, and the frame takes one
  // that can grow.
  if (current_) {
    if (frameRefused_ || (mode_ != kLinePacketMode && RawCapacity(*current_) < frameBytes_)) {
      frames_.GiveBack(current_);
      current_ = nullptr;
    } else {
      StampFacts(FactsOf(*current_));
    }
  }
}

void FrameAssembler::StampFacts(FrameFacts& facts) const {
  facts.sequence = frameSequence_;
  facts.timestampNs = frameTimestampNs_;
  facts.imageBytes = frameBytes_;
  facts.width = width_;
  facts.height = height_;
}

void FrameAssembler::LoseAlignment() {
  fill_ = 0;  // the partial block can never be completed
  if (!frameOpen_) return;
  TraceLog("frame %d dropped: stream bytes lost\r\n", static_cast<int>(frameNumber_));
  AbandonFrame();
  frameOpen_ = false;
  if (current_) frames_.GiveBack(current_);
  current_ = nullptr;
  receivedBytes_ = 0;
  state_.lineDecoder.Reset();
}

void FrameAssembler::FindHeader(const std::uint8_t* block) {
  const std::uint8_t* const marker = HeaderMarker().data();
  for (std::uint32_t at = 1; at < kStreamBlockSize; ++at) {
    const void* found = std::memchr(block + at, marker[0], kStreamBlockSize - at);
    if (!found) break;
    at = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - block);
    const std::uint32_t compared = std::min<std::uint32_t>(20, kStreamBlockSize - at);
    if (std::memcmp(block + at, marker, compared) != 0) continue;
    // A header may begin here: blocks are counted from here on. If it is
    // none after all, the search goes on from its next byte.
    fill_ = kStreamBlockSize - at;
    std::memmove(work_.data(), block + at, fill_);
    return;
  }
}

void FrameAssembler::AbandonFrame() {
  if (!frameCounted_) Count(state_.counters.framesIncomplete);
  frameCounted_ = true;
}

void FrameAssembler::PublishBlockCount() {
  const std::uint32_t blocks = uncountedBytes_ / kStreamBlockSize;
  if (blocks == 0) return;
  Count(state_.counters.blocksReceived, blocks);
  uncountedBytes_ -= blocks * kStreamBlockSize;
}

void FrameAssembler::ProcessBlock(const std::uint8_t* block) {
  if (IsHeaderBlock(block)) {
    OpenFrame(block);
  } else if (!frameOpen_) {
    // Data before the first header of a run, or after bytes were lost: the
    // next header may stand at any byte.
    FindHeader(block);
    return;
  } else if (mode_ == kLinePacketMode) {
    LinePacketDecoder& decoder = state_.lineDecoder;
    const std::uint32_t queued = decoder.framesQueued;
    const std::uint32_t lost = decoder.framesLost;
    decoder.Decode(block, frameNumber_, blockCounter_, frames_);
    // The decoder finishes frames itself; the header's frame is counted
    // once one of them was.
    if (decoder.framesQueued != queued || decoder.framesLost != lost) {
      Count(state_.counters.framesCompleted, decoder.framesQueued - queued);
      Count(state_.counters.framesLostNoBuffer, decoder.framesLost - lost);
      frameCounted_ = true;
    }
  } else if (!frameRefused_) {
    StoreRawBlock(block);
  }
  if (frameOpen_) ++blockCounter_;
}

void FrameAssembler::StoreRawBlock(const std::uint8_t* block) {
  if (!current_) {
    current_ = frames_.TakeFree();
    if (current_ && RawCapacity(*current_) < frameBytes_) {
      // The frame is larger than this record: a larger one takes its
      // place in the pool (once per record, said once per run).
      if (!grownSaid_) {
        ConsoleLog("frame %d of %llu bytes: frame buffers grow\r\n", static_cast<int>(frameNumber_),
                   static_cast<unsigned long long>(frameBytes_));
        grownSaid_ = true;
      }
      current_ = frames_.Grow(current_, RecordBytesForRawImage(frameBytes_));
    }
    if (current_) {
      FrameRecordHeader& header = current_->header;
      header.width = width_;
      header.height = height_;
      header.depth = static_cast<std::uint32_t>(pixelSize_);
      header.frameNumber = frameNumber_;
      header.format = 0;
      header.reserved72 = 0;
      header.imageAddress = current_->Bytes() + kRawImageOffset;
      StampFacts(FactsOf(*current_));
    }
  }
  if (!current_) {
    // Reported and counted once per frame, not once per block it loses.
    if (!frameCounted_) {
      Count(state_.counters.framesLostNoBuffer);
      ConsoleLog("lost frame [%d]!\r\n", static_cast<int>(frameNumber_));
    }
    frameCounted_ = true;
    return;
  }
  if (receivedBytes_ + kStreamBlockSize > RawCapacity(*current_)) return;  // never past the buffer
  std::memcpy(current_->Bytes() + kRawImageOffset + receivedBytes_, block, kStreamBlockSize);
  receivedBytes_ += kStreamBlockSize;
  const std::int64_t size = std::int64_t{width_} * std::int64_t{height_} * std::int64_t{pixelSize_};
  if (receivedBytes_ >= size || std::int64_t{receivedBytes_} >= std::int64_t{blockCounter_} * 4096)
    CompleteRawFrame();
}

void FrameAssembler::CompleteRawFrame() {
  frameOpen_ = false;
  ++state_.completedFrames;
  receivedBytes_ = 0;
  current_->header.frameNumber = frameNumber_;
  FactsOf(*current_).completedNs = SteadyNowNs();
  const bool queued = frames_.Queue(current_, static_cast<std::size_t>(std::max(bufferCount_, 0)));
  if (!queued) ConsoleLog("lost frame [%d]!\r\n", static_cast<int>(state_.completedFrames));
  // A frame that already lost blocks for want of a buffer was counted then.
  if (!frameCounted_)
    Count(queued ? state_.counters.framesCompleted : state_.counters.framesLostQueueFull);
  frameCounted_ = true;
  current_ = nullptr;
}

void RunFrameAssembler(CameraState* state) {
  platform::NameCurrentThread("lumo-assembler");
  LogCameraScope camera(state->channel.cameraHandle);
  FrameAssembler assembler(*state);
  StreamRing& ring = state->streamRing;
  const auto running = [state] { return state->acqRunning.load(std::memory_order_acquire); };
  while (running()) {
    // Everything announced is drained before the next wait; an announcement
    // made meanwhile leaves the event set, so none is missed.
    while (assembler.Pass() && running()) {
    }
    assembler.PublishBlockCount();
    ring.WaitForData(kAssemblerIdleWaitMs);
  }
}

}  // namespace lumo::camera
