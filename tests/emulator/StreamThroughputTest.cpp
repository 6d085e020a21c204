// How fast the image stream reaches a host through the virtual backend:
// 64 overlapped direct reads of 4096 bytes kept pending, no rate limit.
// The tests print the rate; they only check that the stream stays whole
// while it runs flat out.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "StreamTestSupport.h"

namespace lumo::test {
namespace {

using emulator::StreamConfig;
using emulator::StreamMode;

struct Measurement {
  std::uint64_t bytes = 0;
  double seconds = 0;
  double MegabytesPerSecond() const { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
};

// Reads for about `budget`, checking every frame header for its position
// and number and one byte of every raw data block.
Measurement Measure(platform::Handle device, std::size_t frameBlocks, bool raw,
                    std::chrono::milliseconds budget) {
  std::vector<std::unique_ptr<Read>> reads;
  for (int i = 0; i < 64; ++i) {
    reads.push_back(std::make_unique<Read>());
    EXPECT_TRUE(reads.back()->Issue(device, kImageEndpoint, kBlock));
  }
  Measurement m;
  const auto begin = std::chrono::steady_clock::now();
  const auto until = begin + budget;
  std::uint64_t block = 0;
  std::uint32_t frame = 0;
  bool whole = true;
  for (std::size_t next = 0;; next = (next + 1) % reads.size()) {
    Read& read = *reads[next];
    auto c = read.Wait(device, 10000);
    if (!c || !c->ok || c->bytes != kBlock) {
      ADD_FAILURE() << "read failed";
      break;
    }
    const std::size_t inFrame = block % frameBlocks;
    if (inFrame == 0) {
      auto header = ParseHeader(read.data.data());
      if (!header || (block != 0 && header->number != frame + 1)) whole = false;
      if (header) frame = header->number;
    } else if (raw) {
      const std::uint32_t offset = static_cast<std::uint32_t>((inFrame - 1) * kBlock + 100);
      if (read.data[100] != ExpectedRawByte(frame, offset)) whole = false;
    }
    ++block;
    m.bytes += c->bytes;
    // Stop at a frame boundary once the time is up.
    if (inFrame + 1 == frameBlocks && std::chrono::steady_clock::now() >= until) break;
    if (!read.Issue(device, kImageEndpoint, kBlock)) {
      ADD_FAILURE() << "reissue failed";
      break;
    }
  }
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_TRUE(whole) << "frames arrived broken";
  // Let the remaining reads end before their buffers go.
  std::uint8_t endpoint = kImageEndpoint;
  std::uint32_t returned = 0;
  platform::IoControl(device, kAbort, &endpoint, 1, nullptr, 0, &returned, nullptr);
  for (auto& read : reads) read->Wait(device, 10000);
  return m;
}

TEST_F(CameraStreamTest, RawThroughputWithoutRateLimit) {
  Start();
  const Measurement m = Measure(handle, 385, true, std::chrono::milliseconds(1500));
  std::printf("raw stream: %.1f MB in %.3f s: %.0f MB/s\n", m.bytes / 1e6, m.seconds,
              m.MegabytesPerSecond());
  RecordProperty("raw_MBps", static_cast<int>(m.MegabytesPerSecond()));
  EXPECT_GT(m.bytes, 0u);
}

TEST_F(CameraStreamTest, LinePacketThroughputWithoutRateLimit) {
  Configure([](StreamConfig& c) { c.mode = StreamMode::kLinePacket; });
  Start();
  const Measurement m = Measure(handle, 249, false, std::chrono::milliseconds(1500));
  std::printf("line-packet stream: %.1f MB in %.3f s: %.0f MB/s\n", m.bytes / 1e6, m.seconds,
              m.MegabytesPerSecond());
  RecordProperty("line_packet_MBps", static_cast<int>(m.MegabytesPerSecond()));
  EXPECT_GT(m.bytes, 0u);
}

TEST_F(CameraStreamTest, DefaultRateLimitKeepsNearItsRate) {
  Configure([](StreamConfig& c) { c.bytesPerSecond = StreamConfig{}.bytesPerSecond; });
  Start();
  const Measurement m = Measure(handle, 385, true, std::chrono::milliseconds(500));
  std::printf("rate-limited stream: %.0f MB/s (limit 400)\n", m.MegabytesPerSecond());
  // The limit is an upper bound; how close the stream comes depends on the machine.
  EXPECT_LT(m.MegabytesPerSecond(), 440.0);
}

}  // namespace
}  // namespace lumo::test
