// Faults of the emulated camera's image stream, each seen from the host:
// blocks left out or repeated, missing headers, frame-number jumps, pack
// counts, stalls, bus errors, empty completions, line-packet anomalies,
// and the device going away in the middle of a frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "StreamTestSupport.h"

namespace lumo::test {
namespace {

using emulator::BlockTarget;
using emulator::StreamConfig;
using emulator::StreamFault;
using emulator::StreamFaultKind;
using emulator::StreamMode;

// 256 x 64 x 2 bytes: 8 data blocks, 9 blocks a frame.
constexpr std::size_t kDataBlocks = 8;
constexpr std::size_t kFrameBlocks = kDataBlocks + 1;
constexpr std::size_t kImageBytes = kDataBlocks * kBlock;

bool ImageBlockIs(const std::uint8_t* block, std::uint32_t frame, std::uint32_t index) {
  for (std::uint32_t i = 0; i < kBlock; ++i)
    if (block[i] != ExpectedRawByte(frame, index * kBlock + i)) return false;
  return true;
}

class StreamFaultTest : public CameraStreamTest {
 protected:
  void SetUp() override {
    CameraStreamTest::SetUp();
    Configure([](StreamConfig& c) {
      c.width = 256;
      c.height = 64;
      c.pixelSize = 2;
    });
  }
  static StreamFault Fault(StreamFaultKind kind) { return StreamFault::Next(kind); }
};

TEST_F(StreamFaultTest, DroppedDataBlockShortensTheFrame) {
  Stream().InjectFault(Fault(StreamFaultKind::kDropBlock));
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 3) - kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 3u);
  const CapturedFrame& hit = split.frames[0];
  EXPECT_EQ(hit.header.number, 1u);
  ASSERT_EQ(hit.dataBlocks, kDataBlocks - 1);
  for (std::uint32_t b = 0; b < kDataBlocks - 1; ++b)
    EXPECT_TRUE(ImageBlockIs(hit.data + b * kBlock, 1, b + 1)) << b;  // block 0 is gone
  EXPECT_EQ(split.frames[1].dataBlocks, kDataBlocks);
  EXPECT_EQ(FirstRawMismatch(split.frames[1].data, kDataBlocks, 2, kImageBytes), -1);
  EXPECT_EQ(Stream().Counters().blocksDropped, 1u);
  EXPECT_EQ(Stream().ActiveFaults(), 0u);
}

TEST_F(StreamFaultTest, DuplicatedDataBlockComesTwice) {
  Stream().InjectFault(Fault(StreamFaultKind::kDuplicateBlock));
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 2) + 2 * kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 2u);
  const CapturedFrame& hit = split.frames[0];
  ASSERT_EQ(hit.dataBlocks, kDataBlocks + 1);
  EXPECT_TRUE(ImageBlockIs(hit.data, 1, 0));
  EXPECT_TRUE(ImageBlockIs(hit.data + kBlock, 1, 0));
  for (std::uint32_t b = 1; b < kDataBlocks; ++b)
    EXPECT_TRUE(ImageBlockIs(hit.data + (b + 1) * kBlock, 1, b)) << b;
  EXPECT_EQ(split.frames[1].dataBlocks, kDataBlocks);
  EXPECT_EQ(Stream().Counters().blocksDuplicated, 1u);
}

TEST_F(StreamFaultTest, BlockFaultsCanAimAtHeaderBlocks) {
  StreamFault fault = Fault(StreamFaultKind::kDuplicateBlock);
  fault.blocks = BlockTarget::kHeaderBlocks;
  Stream().InjectFault(fault);
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 2) + kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 3u);
  // The header came twice: an empty frame 1, then frame 1 whole.
  EXPECT_EQ(split.frames[0].header.number, 1u);
  EXPECT_EQ(split.frames[0].dataBlocks, 0u);
  EXPECT_EQ(split.frames[1].header.number, 1u);
  EXPECT_EQ(split.frames[1].dataBlocks, kDataBlocks);
  EXPECT_EQ(split.frames[2].header.number, 2u);
}

TEST_F(StreamFaultTest, MissingHeaderLeavesDataWithoutFrame) {
  Stream().InjectFault(Fault(StreamFaultKind::kMissingHeader));
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 2) - kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  EXPECT_EQ(split.leadingBlocks, kDataBlocks);
  EXPECT_EQ(FirstRawMismatch(reader.bytes.data(), kDataBlocks, 1, kImageBytes), -1);
  ASSERT_GE(split.frames.size(), 1u);
  EXPECT_EQ(split.frames[0].header.number, 2u);
  EXPECT_EQ(Stream().Counters().headersLeftOut, 1u);
}

TEST_F(StreamFaultTest, FrameNumbersJumpAndCountOnFromThere) {
  StreamFault fault = Fault(StreamFaultKind::kFrameJump);
  fault.frameJump = 5;
  Stream().InjectFault(fault);
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 3)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 3u);
  EXPECT_EQ(split.frames[0].header.number, 6u);
  EXPECT_EQ(split.frames[1].header.number, 7u);
  EXPECT_EQ(split.frames[2].header.number, 8u);
  // The image pattern follows the number the frame carries.
  EXPECT_EQ(FirstRawMismatch(split.frames[0].data, kDataBlocks, 6, kImageBytes), -1);
}

TEST_F(StreamFaultTest, PackCountDiffersForTheHitFrame) {
  StreamFault fault = Fault(StreamFaultKind::kPackCount);
  fault.packCount = 304;
  Stream().InjectFault(fault);
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 2)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 2u);
  EXPECT_EQ(split.frames[0].header.packCount, 304u);
  EXPECT_EQ(split.frames[1].header.packCount, 305u);
}

// Per frame, the number of data blocks that arrived.
std::vector<std::size_t> FrameSizesWithRandomDrops(const std::string& serial, std::uint32_t seed,
                                                   std::uint64_t* dropped) {
  auto camera = emulator::EmulatedDevice::Camera(serial);
  EXPECT_TRUE(camera->Plug());
  const platform::Handle h = platform::OpenDevicePath(camera->Path());
  StreamConfig config;
  config.width = 256;
  config.height = 64;
  config.bytesPerSecond = 0;
  config.frameLimit = 30;
  camera->Stream().SetConfig(config);
  camera->Stream().InjectFault(StreamFault::Random(StreamFaultKind::kDropBlock, 0.05, seed));
  std::vector<std::size_t> sizes;
  {
    // More reads than the 30 frames have blocks, all pending before the
    // start: the stream stops at the frame limit, not for want of reads,
    // and the reads it left pending stay so.
    StreamReader reader(h, 30 * kFrameBlocks + 8);
    EXPECT_TRUE(reader.Fill());
    EXPECT_TRUE(StartStream(h).ok);
    EXPECT_TRUE(camera->Stream().WaitUntilIdle(std::chrono::seconds(10)));
    const std::uint64_t completed = camera->Stream().Counters().transfersCompleted;
    for (std::uint64_t i = 0; i < completed; ++i) EXPECT_TRUE(reader.Next(false));
    for (const CapturedFrame& frame : SplitFrames(reader.bytes).frames)
      sizes.push_back(frame.dataBlocks);
  }
  *dropped = camera->Stream().Counters().blocksDropped;
  platform::CloseHandle(h);
  return sizes;
}

TEST(StreamRandomFaultTest, SeededDropsRepeatAndAreCounted) {
  std::uint64_t droppedA = 0;
  std::uint64_t droppedB = 0;
  const auto a = FrameSizesWithRandomDrops("RANDOM1", 3, &droppedA);
  const auto b = FrameSizesWithRandomDrops("RANDOM2", 3, &droppedB);
  ASSERT_EQ(a.size(), 30u);
  EXPECT_EQ(a, b);
  std::uint64_t missing = 0;
  for (std::size_t size : a) missing += kDataBlocks - size;
  EXPECT_EQ(missing, droppedA);
  EXPECT_GT(droppedA, 0u);
  EXPECT_LT(droppedA, 40u);
}

TEST_F(StreamFaultTest, BusErrorFailsTheTransferAndLosesItsBytes) {
  Stream().InjectFault(Fault(StreamFaultKind::kBusError));
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.Fill());
  auto first = reader.Next();
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->ok);
  EXPECT_EQ(first->error, platform::kErrorGenFailure);
  EXPECT_EQ(first->bytes, 0u);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 1) + 2 * kBlock));
  // The header went with the failed transfer: frame 1's data comes alone.
  SplitStream split = SplitFrames(reader.bytes);
  EXPECT_EQ(split.leadingBlocks, kDataBlocks);
  ASSERT_GE(split.frames.size(), 1u);
  EXPECT_EQ(split.frames[0].header.number, 2u);

  // Faults may be added while the stream runs; this one carries its own code.
  StreamFault other = Fault(StreamFaultKind::kBusError);
  other.error = platform::kErrorDeviceNotConnected;
  Stream().InjectFault(other);
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    auto c = reader.Next();
    ASSERT_TRUE(c);
    if (!c->ok) {
      EXPECT_EQ(c->error, platform::kErrorDeviceNotConnected);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
  // The counter follows the completion the reader has just seen.
  EXPECT_TRUE(
      Stream().WaitUntil([](const emulator::StreamCounters& c) { return c.transferErrors == 2; },
                         std::chrono::seconds(5)));
}

TEST_F(StreamFaultTest, ZeroLengthCompletionsCarryNothingAndLoseNothing) {
  Stream().InjectFault(StreamFault::Next(StreamFaultKind::kZeroLength, 3));
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 1)));
  ASSERT_GE(reader.completions.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(reader.completions[i].ok);
    EXPECT_EQ(reader.completions[i].bytes, 0u);
  }
  EXPECT_EQ(reader.completions[3].bytes, kBlock);
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 1u);
  EXPECT_EQ(split.leadingBlocks, 0u);
  EXPECT_EQ(split.frames[0].dataBlocks, kDataBlocks);
  EXPECT_EQ(Stream().Counters().zeroLengthTransfers, 3u);
}

TEST_F(StreamFaultTest, StallHoldsEveryCompletionForItsTime) {
  StreamFault fault = Fault(StreamFaultKind::kStall);
  fault.stall = std::chrono::milliseconds(400);
  Stream().InjectFault(fault);
  const auto begin = std::chrono::steady_clock::now();
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.Fill());
  ASSERT_TRUE(Stream().WaitUntil([](const emulator::StreamCounters& s) { return s.stalls == 1; },
                                 std::chrono::seconds(5)));
  EXPECT_FALSE(reader.OldestFinished());  // held back once the stall began
  auto c = reader.Next(true, 5000);
  ASSERT_TRUE(c);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(390));
  ASSERT_TRUE(c->ok);
  ASSERT_TRUE(ParseHeader(reader.bytes.data()));  // nothing was lost
  EXPECT_EQ(Stream().Counters().stalls, 1u);
}

TEST_F(StreamFaultTest, HostGivingUpOnAStallRestartsTheStream) {
  StreamFault fault = Fault(StreamFaultKind::kStall);
  fault.stall = std::chrono::seconds(30);
  Stream().InjectFault(fault);
  Start();
  {
    StreamReader reader(handle, 8);
    ASSERT_TRUE(reader.Fill());
    ASSERT_TRUE(Stream().WaitUntil([](const emulator::StreamCounters& s) { return s.stalls == 1; },
                                   std::chrono::seconds(5)));
    EXPECT_FALSE(reader.OldestFinished());
    for (const Completion& c : reader.AbortAll())
      EXPECT_EQ(c.error, platform::kErrorOperationAborted);
  }
  const auto begin = std::chrono::steady_clock::now();
  Start();  // ends the stall
  StreamReader reader(handle, 8);
  ASSERT_TRUE(reader.ReadUntil(kBlock, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  auto header = ParseHeader(reader.bytes.data());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->number, 1u);  // no byte of frame 1 had gone out
}

TEST_F(StreamFaultTest, UnplugInTheMiddleOfAFrameFailsThePendingReads) {
  StreamFault fault = Fault(StreamFaultKind::kUnplug);
  fault.unplugAfterBlocks = 5;
  Stream().InjectFault(fault);
  {
    // All 64 reads wait before the stream starts, so the unplug finds them.
    StreamReader reader(handle);
    ASSERT_TRUE(reader.Fill());
    Start();
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(reader.Next(false));
    for (int i = 0; i < 5; ++i) {
      EXPECT_TRUE(reader.completions[i].ok) << i;
      EXPECT_EQ(reader.completions[i].bytes, kBlock);
    }
    for (int i = 5; i < 64; ++i)
      EXPECT_EQ(reader.completions[i].error, platform::kErrorGenFailure) << i;
    auto header = ParseHeader(reader.bytes.data());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->number, 1u);
  }
  EXPECT_FALSE(device->IsPlugged());
  EXPECT_FALSE(Stream().Streaming());
  EXPECT_EQ(Stream().Counters().unplugs, 1u);
  EXPECT_EQ(Stream().Counters().framesFinished, 0u);

  // Plugged in again, the camera streams on from a new frame.
  platform::CloseHandle(handle);
  ASSERT_TRUE(device->Plug());
  handle = platform::OpenDevicePath(device->Path());
  ASSERT_NE(handle, platform::InvalidHandle());
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kFrameBlocks, 1)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 1u);
  EXPECT_EQ(split.frames[0].header.number, 2u);
  EXPECT_EQ(split.frames[0].dataBlocks, kDataBlocks);
}

// Reads on a thread of its own until a read fails or cannot be issued;
// LastError tells which error ended it.
class BackgroundReader {
 public:
  explicit BackgroundReader(platform::Handle device)
      : thread_([this, device] {
          StreamReader reader(device);
          if (!reader.Fill()) return;
          for (;;) {
            auto c = reader.Next(true, 10000);
            if (!c) {
              // Every read came back whole and none could be issued again.
              lastError_ = reader.Pending() == 0 ? reader.issueError : 0xFFFFFFFFu;
              return;
            }
            if (!c->ok) {
              lastError_ = c->error;
              return;
            }
            blocks_.fetch_add(1);
          }
        }) {}
  ~BackgroundReader() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  std::uint64_t Blocks() const { return blocks_.load(); }
  std::uint32_t LastError() const { return lastError_.load(); }

 private:
  std::atomic<std::uint64_t> blocks_{0};
  std::atomic<std::uint32_t> lastError_{0};
  std::thread thread_;
};

TEST_F(StreamFaultTest, UnplugWhileStreamingEndsEveryRead) {
  Start();
  BackgroundReader reader(handle);
  ASSERT_TRUE(Stream().WaitForFrames(20, std::chrono::seconds(10)));
  ASSERT_TRUE(device->Unplug());
  reader.Join();
  EXPECT_GT(reader.Blocks(), 0u);
  EXPECT_EQ(reader.LastError(), platform::kErrorGenFailure);
  EXPECT_FALSE(Stream().Streaming());
  EXPECT_EQ(device->PendingTransfers(kImageEndpoint), 0u);
}

TEST_F(StreamFaultTest, DestroyingTheDeviceWhileStreamingEndsEveryRead) {
  Start();
  BackgroundReader reader(handle);
  ASSERT_TRUE(Stream().WaitForFrames(20, std::chrono::seconds(10)));
  device.reset();
  reader.Join();
  EXPECT_EQ(reader.LastError(), platform::kErrorGenFailure);
}

TEST_F(StreamFaultTest, DestroyingAStalledStreamDoesNotWaitForTheStall) {
  StreamFault fault = Fault(StreamFaultKind::kStall);
  fault.stall = std::chrono::seconds(60);
  Stream().InjectFault(fault);
  Start();
  StreamReader reader(handle, 4);
  ASSERT_TRUE(reader.Fill());
  ASSERT_TRUE(Stream().WaitUntil([](const emulator::StreamCounters& c) { return c.stalls == 1; },
                                 std::chrono::seconds(5)));
  const auto begin = std::chrono::steady_clock::now();
  device.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  for (int i = 0; i < 4; ++i) {
    auto c = reader.Next(false, 5000);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->error, platform::kErrorGenFailure);
  }
}

// ---- line-packet anomalies: each hits the frame's first packet (the info packet)

class LineAnomalyTest : public CameraStreamTest {
 protected:
  // Injects `fault`, streams two line-packet frames and returns the scan of
  // the first; the second must be clean.
  PacketScan FirstFrameWith(const StreamFault& fault) {
    Configure([](StreamConfig& c) { c.mode = StreamMode::kLinePacket; });
    Stream().InjectFault(fault);
    Start();
    StreamReader reader(handle);
    EXPECT_TRUE(reader.ReadUntil(FrameBytes(249, 2) + kBlock));
    const SplitStream split = SplitFrames(reader.bytes);
    EXPECT_EQ(split.frames.size(), 3u);
    if (split.frames.size() < 2) return {};
    const PacketScan second = ScanFrame(split.frames[1]);
    EXPECT_EQ(second.strayWords, 0u);
    ExpectLineFrame(second.packets, 2, true);
    EXPECT_EQ(Stream().Counters().packetAnomalies, 1u);
    return ScanFrame(split.frames[0]);
  }
  static std::vector<Packet> Lines(const std::vector<Packet>& packets, std::size_t from) {
    return std::vector<Packet>(packets.begin() + static_cast<std::ptrdiff_t>(from), packets.end());
  }
  // The frame's 1000 lines, each checked against the pattern.
  static void ExpectLinesOnly(const std::vector<Packet>& packets) {
    ASSERT_EQ(packets.size(), 1000u);
    for (std::uint32_t n = 0; n < 1000; ++n) {
      ASSERT_EQ(packets[n].type, n == 0 ? 2 : n == 999 ? 4 : 3);
      ASSERT_EQ(packets[n].payload.size(), 500u);
      EXPECT_EQ(packets[n].payload[7], ExpectedLineWord(1, n, 7));
    }
  }
};

TEST_F(LineAnomalyTest, DoubledSyncWordPrecedesThePacket) {
  const PacketScan scan = FirstFrameWith(StreamFault::Next(StreamFaultKind::kDoubledSync));
  ASSERT_EQ(scan.packets.size(), 1001u);
  EXPECT_TRUE(scan.packets[0].extraSyncBefore);
  EXPECT_EQ(scan.packets[0].type, 1);
  ExpectLineFrame(scan.packets, 1, true);
}

TEST_F(LineAnomalyTest, BrokenSyncHidesThePacket) {
  const PacketScan scan = FirstFrameWith(StreamFault::Next(StreamFaultKind::kBrokenSync));
  EXPECT_GT(scan.strayWords, 0u);
  ExpectLinesOnly(scan.packets);  // the info packet cannot be found
}

TEST_F(LineAnomalyTest, OverlongLengthIsRefused) {
  StreamFault fault = StreamFault::Next(StreamFaultKind::kOverlongLength);
  fault.length = 10001;
  const PacketScan scan = FirstFrameWith(fault);
  EXPECT_EQ(scan.rejectedLengths, std::vector<std::uint32_t>{10001});
  ExpectLinesOnly(scan.packets);
}

TEST_F(LineAnomalyTest, UnknownTypePacketComesFirst) {
  const PacketScan scan = FirstFrameWith(StreamFault::Next(StreamFaultKind::kUnknownType));
  ASSERT_EQ(scan.packets.size(), 1002u);
  EXPECT_EQ(scan.packets[0].type, 0x55);
  EXPECT_EQ(scan.packets[0].length, 8u);
  ExpectLineFrame(Lines(scan.packets, 1), 1, true);
}

TEST_F(LineAnomalyTest, EmptyPacketComesFirst) {
  StreamFault fault = StreamFault::Next(StreamFaultKind::kEmptyPacket);
  const PacketScan scan = FirstFrameWith(fault);
  ASSERT_EQ(scan.packets.size(), 1002u);
  EXPECT_EQ(scan.packets[0].type, 3);
  EXPECT_EQ(scan.packets[0].length, 0u);
  ExpectLineFrame(Lines(scan.packets, 1), 1, true);
}

TEST_F(LineAnomalyTest, EarlyLineComesBeforeInfoAndFirstLine) {
  const PacketScan scan = FirstFrameWith(StreamFault::Next(StreamFaultKind::kEarlyLine));
  ASSERT_EQ(scan.packets.size(), 1002u);
  EXPECT_EQ(scan.packets[0].type, 3);
  ASSERT_EQ(scan.packets[0].payload.size(), 500u);
  for (std::uint32_t j = 0; j < 500; ++j)
    EXPECT_EQ(scan.packets[0].payload[j], ExpectedLineWord(1, 1, j));
  ExpectLineFrame(Lines(scan.packets, 1), 1, true);
}

}  // namespace
}  // namespace lumo::test
