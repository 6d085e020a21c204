// The host's side of the image stream, written for the tests alone: the
// start request built byte by byte, a ring of overlapped direct reads on
// the stream endpoint, and a parser for frame headers and line packets that
// shares nothing with the camera's encoders.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "EmulatorTestSupport.h"
#include "lumo/emulator/CameraStream.h"

namespace lumo::test {

constexpr std::uint8_t kImageEndpoint = 0x81;
constexpr std::uint32_t kBlock = 4096;

// The start request: vendor, device recipient, camera to host.
inline Reply StartStream(platform::Handle device, std::uint8_t requestType = 0xC0,
                         std::uint16_t value = 0xFF00) {
  auto record = ControlRecord(requestType, 0xFE, value, 0, 64, 64);
  return InOut(device, kControl, record);
}

struct Completion {
  bool ok = false;
  std::uint32_t error = 0;
  std::uint32_t bytes = 0;
};

// One overlapped direct read whose wait gives up after a while.
class Read {
 public:
  Read() { state_.event = platform::CreateEventObject(true, false); }
  ~Read() { platform::CloseHandle(state_.event); }
  Read(const Read&) = delete;
  Read& operator=(const Read&) = delete;

  bool Issue(platform::Handle device, std::uint8_t endpoint, std::uint32_t size) {
    record_ = TransferRecord(endpoint, true, 0);
    data.resize(size);
    const bool done = platform::IoControl(device, kDirect, record_.data(),
                                          static_cast<std::uint32_t>(record_.size()), data.data(),
                                          size, nullptr, &state_);
    return !done && platform::LastError() == platform::kErrorIoPending;
  }
  // nullopt if the read is still pending after `timeoutMs`.
  std::optional<Completion> Wait(platform::Handle device, std::uint32_t timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (state_.internal.load() == platform::kStatusPending) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      platform::WaitForEvent(state_.event, static_cast<std::uint32_t>(left.count()));
    }
    Completion c;
    c.ok = platform::OverlappedResult(device, &state_, &c.bytes, false);
    c.error = c.ok ? 0 : platform::LastError();
    return c;
  }
  bool Finished() const { return state_.internal.load() != platform::kStatusPending; }

  std::vector<std::uint8_t> data;

 private:
  std::vector<std::uint8_t> record_;
  platform::Overlapped state_;
};

// Keeps up to `depth` reads pending on the stream endpoint and collects
// what they bring, oldest first. Its destructor aborts what is still
// pending and waits for it, so no read outlives its buffers.
class StreamReader {
 public:
  explicit StreamReader(platform::Handle device, std::size_t depth = 64,
                        std::uint32_t size = kBlock)
      : device_(device), depth_(depth), size_(size) {}
  ~StreamReader() { AbortAll(); }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Issues reads until `depth` are pending; false if one was refused.
  bool Fill() {
    while (pending_.size() < depth_) {
      auto read = std::make_unique<Read>();
      if (!read->Issue(device_, kImageEndpoint, size_)) {
        issueError = platform::LastError();
        return false;
      }
      pending_.push_back(std::move(read));
    }
    return true;
  }

  // Waits for the oldest read and appends its bytes to `bytes`; issues a
  // new read in its place when `reissue` is set. nullopt on timeout.
  std::optional<Completion> Next(bool reissue = true, std::uint32_t timeoutMs = 10000) {
    if (pending_.empty()) return std::nullopt;
    std::optional<Completion> c = pending_.front()->Wait(device_, timeoutMs);
    if (!c) return std::nullopt;
    std::unique_ptr<Read> read = std::move(pending_.front());
    pending_.pop_front();
    if (c->ok) bytes.insert(bytes.end(), read->data.begin(), read->data.begin() + c->bytes);
    completions.push_back(*c);
    if (!reissue) return c;
    if (read->Issue(device_, kImageEndpoint, size_))
      pending_.push_back(std::move(read));
    else
      issueError = platform::LastError();
    return c;
  }

  // Reads until `count` bytes arrived in all; false on a failed read or
  // a timeout.
  bool ReadUntil(std::size_t count, std::uint32_t timeoutMs = 10000) {
    if (!Fill()) return false;
    while (bytes.size() < count) {
      std::optional<Completion> c = Next(true, timeoutMs);
      if (!c || !c->ok) return false;
    }
    return true;
  }

  // Aborts the pending reads and waits for each; returns their results.
  std::vector<Completion> AbortAll() {
    std::uint8_t endpoint = kImageEndpoint;
    std::uint32_t returned = 0;
    if (!pending_.empty())
      platform::IoControl(device_, kAbort, &endpoint, 1, nullptr, 0, &returned, nullptr);
    std::vector<Completion> results;
    while (!pending_.empty()) {
      std::optional<Completion> c = pending_.front()->Wait(device_, 10000);
      // A read that never finishes would be written after its buffer is
      // gone: keep it alive rather than free it.
      if (!c) {
        ADD_FAILURE() << "a read did not finish after the abort";
        leaked_.push_back(std::move(pending_.front()));
      } else {
        results.push_back(*c);
      }
      pending_.pop_front();
    }
    return results;
  }

  std::size_t Pending() const { return pending_.size(); }
  bool OldestFinished() const { return !pending_.empty() && pending_.front()->Finished(); }

  std::vector<std::uint8_t> bytes;
  std::vector<Completion> completions;
  std::uint32_t issueError = 0;  // why the last read could not be issued

 private:
  platform::Handle device_;
  std::size_t depth_;
  std::uint32_t size_;
  std::deque<std::unique_ptr<Read>> pending_;
  std::vector<std::unique_ptr<Read>> leaked_;
};

// ---- frames

struct FrameHeader {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t number = 0;
  std::uint32_t packCount = 0;
  std::uint16_t cacheCount = 0;
  std::uint16_t cacheUseCount = 0;
  std::uint32_t mode = 0;
};

inline std::uint32_t Le32At(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint16_t Le16At(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// The header in `block` if it starts with the five magic words.
inline std::optional<FrameHeader> ParseHeader(const std::uint8_t* block) {
  static const std::uint32_t magic[5] = {0x803C4953, 0x93498218, 0x05897F8D, 0x9AB38089,
                                         0x0100A000};
  for (int i = 0; i < 5; ++i)
    if (Le32At(block + 4 * i) != magic[i]) return std::nullopt;
  FrameHeader h;
  h.width = Le16At(block + 24);
  h.height = Le16At(block + 26);
  h.number = Le32At(block + 28);
  h.packCount = Le32At(block + 32);
  h.cacheCount = Le16At(block + 40);
  h.cacheUseCount = Le16At(block + 42);
  h.mode = Le32At(block + 44);
  return h;
}

// Whether the header block's unused bytes are all zero.
inline bool UnusedHeaderBytesZero(const std::uint8_t* block) {
  for (std::size_t i = 20; i < kBlock; ++i) {
    const bool used = (i >= 24 && i < 36) || (i >= 40 && i < 48);
    if (!used && block[i] != 0) return false;
  }
  return true;
}

// A frame found in a block-aligned byte sequence: its header block and the
// blocks up to the next header block or the end.
struct CapturedFrame {
  FrameHeader header;
  std::size_t headerBlock = 0;  // block index
  std::size_t dataBlocks = 0;
  const std::uint8_t* data = nullptr;  // the first data block
};

struct SplitStream {
  std::size_t leadingBlocks = 0;  // blocks before the first header
  std::vector<CapturedFrame> frames;
};

inline SplitStream SplitFrames(const std::vector<std::uint8_t>& bytes) {
  SplitStream split;
  const std::size_t blocks = bytes.size() / kBlock;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::uint8_t* block = bytes.data() + b * kBlock;
    if (auto header = ParseHeader(block)) {
      CapturedFrame frame;
      frame.header = *header;
      frame.headerBlock = b;
      frame.data = block + kBlock;
      split.frames.push_back(frame);
    } else if (split.frames.empty()) {
      ++split.leadingBlocks;
    } else {
      ++split.frames.back().dataBlocks;
    }
  }
  return split;
}

// ---- raw images: the documented pattern, coded here from its description

inline std::uint8_t ExpectedRawByte(std::uint32_t frame, std::uint32_t offset) {
  const std::uint32_t k = offset / 4096;
  const std::uint32_t o = offset % 4096;
  const std::uint32_t s = (7 * frame + 13 * k) % 256;
  const std::uint32_t x = o + s;
  return static_cast<std::uint8_t>((x + x / 256) % 256);
}

// The first byte of `blocks` data blocks that differs from image `frame`
// of `imageBytes` bytes padded with zeros; -1 when all match.
inline long FirstRawMismatch(const std::uint8_t* data, std::size_t blocks, std::uint32_t frame,
                             std::size_t imageBytes) {
  for (std::size_t i = 0; i < blocks * kBlock; ++i) {
    const std::uint8_t expected =
        i < imageBytes ? ExpectedRawByte(frame, static_cast<std::uint32_t>(i)) : 0;
    if (data[i] != expected) return static_cast<long>(i);
  }
  return -1;
}

// ---- line packets: the documented patterns and a packet scanner

inline std::uint16_t ExpectedLineWord(std::uint32_t frame, std::uint32_t line, std::uint32_t j) {
  return static_cast<std::uint16_t>((131 * frame + 17 * line + 3 * j) % 32768);
}
inline std::uint16_t ExpectedInfoWord(std::uint32_t frame, std::uint32_t k) {
  return static_cast<std::uint16_t>((frame + 257 * k) % 32768);
}

struct Packet {
  std::size_t at = 0;  // word index of its first sync word
  std::uint8_t type = 0;
  std::uint16_t typeWord = 0;
  std::uint32_t length = 0;
  std::vector<std::uint16_t> payload;
  bool extraSyncBefore = false;  // the word before the sync is another C53A
};

struct PacketScan {
  std::vector<Packet> packets;                 // fillers excluded
  std::vector<Packet> fillers;                 // payload not kept
  std::vector<std::uint32_t> rejectedLengths;  // packets announcing more than 10000 words
  std::size_t strayWords = 0;                  // non-zero words outside any packet
  bool truncated = false;                      // the last packet runs past the end
};

// Scans `words` 16-bit words for packets the way a receiver would: find the
// sync sequence, read type and length, take the payload; a length above
// 10000 is refused and the search goes on after the first sync word.
inline PacketScan ScanPackets(const std::uint8_t* bytes, std::size_t words) {
  auto w = [&](std::size_t i) { return Le16At(bytes + 2 * i); };
  PacketScan scan;
  std::size_t i = 0;
  while (i < words) {
    if (i + 6 <= words && w(i) == 0xC53A && w(i + 1) == 0xA35C && w(i + 2) == 0xC53A) {
      Packet p;
      p.at = i;
      p.typeWord = w(i + 3);
      p.type = static_cast<std::uint8_t>(p.typeWord & 0xFF);
      p.length = (static_cast<std::uint32_t>(w(i + 4)) << 16) | w(i + 5);
      p.extraSyncBefore = i > 0 && w(i - 1) == 0xC53A;
      if (p.length > 10000) {
        scan.rejectedLengths.push_back(p.length);
        ++scan.strayWords;
        ++i;
        continue;
      }
      if (i + 6 + p.length > words) {
        scan.truncated = true;
        return scan;
      }
      const std::size_t next = i + 6 + p.length;
      if (p.type == 0x80) {
        scan.fillers.push_back(p);
      } else {
        for (std::uint32_t k = 0; k < p.length; ++k) p.payload.push_back(w(i + 6 + k));
        scan.packets.push_back(std::move(p));
      }
      i = next;
      continue;
    }
    if (w(i) != 0 && !(w(i) == 0xC53A && i + 1 < words && w(i + 1) == 0xC53A)) ++scan.strayWords;
    ++i;
  }
  return scan;
}

inline PacketScan ScanFrame(const CapturedFrame& frame) {
  return ScanPackets(frame.data, frame.dataBlocks * kBlock / 2);
}

// Checks that `packets` are exactly one frame's info packet and 1000 lines,
// in the given order, with the documented payloads.
inline void ExpectLineFrame(const std::vector<Packet>& packets, std::uint32_t frame,
                            bool infoFirst) {
  ASSERT_EQ(packets.size(), 1001u);
  const std::size_t infoAt = infoFirst ? 0 : 1000;
  const std::size_t firstLine = infoFirst ? 1 : 0;
  const Packet& info = packets[infoAt];
  EXPECT_EQ(info.type, 1);
  EXPECT_EQ(info.typeWord, 1);
  ASSERT_EQ(info.payload.size(), 16u);
  for (std::uint32_t k = 0; k < 16; ++k)
    EXPECT_EQ(info.payload[k], ExpectedInfoWord(frame, k)) << "info word " << k;
  for (std::uint32_t n = 0; n < 1000; ++n) {
    const Packet& line = packets[firstLine + n];
    const std::uint8_t type = n == 0 ? 2 : n == 999 ? 4 : 3;
    ASSERT_EQ(line.type, type) << "line " << n;
    ASSERT_EQ(line.payload.size(), 500u) << "line " << n;
    for (std::uint32_t j = 0; j < 500; ++j)
      ASSERT_EQ(line.payload[j], ExpectedLineWord(frame, n, j)) << "line " << n << " word " << j;
    EXPECT_FALSE(line.extraSyncBefore);
  }
}

// A plugged camera with an open handle; the stream's rate limit is lifted
// so tests run at full speed.
class CameraStreamTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override {
    Open(emulator::EmulatedDevice::Camera("STREAM"));
    emulator::StreamConfig config;
    config.bytesPerSecond = 0;
    Stream().SetConfig(config);
  }
  emulator::CameraStream& Stream() { return device->Stream(); }
  // Applies `change` to the current settings.
  template <typename Change>
  void Configure(Change change) {
    emulator::StreamConfig config = Stream().Config();
    change(config);
    Stream().SetConfig(config);
  }
  void Start() {
    const Reply reply = StartStream(handle);
    ASSERT_TRUE(reply.ok) << reply.error;
    ASSERT_EQ(reply.bytes, kHeader + 64);
  }
  // Frames of `blocks` blocks each, for `count` frames.
  static std::size_t FrameBytes(std::size_t blocks, std::size_t count) {
    return blocks * kBlock * count;
  }
};

}  // namespace lumo::test
