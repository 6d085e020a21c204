// The emulated camera's image stream as the host sees it: the start
// request, raw and line-packet frames checked against the documented
// patterns, fillers, short transfers, pausing and restarting, the frame
// limit, the rate limit and the counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "StreamTestSupport.h"

namespace lumo::test {
namespace {

using emulator::Fillers;
using emulator::FramePadding;
using emulator::LineOrder;
using emulator::StreamConfig;
using emulator::StreamMode;

constexpr std::size_t kDefaultFrameBlocks = 1 + 384;  // 1024 x 768 x 2 bytes

TEST(StreamPatternTest, ExportedPatternsFollowTheirFormulas) {
  // A few values worked out by hand from the formulas.
  EXPECT_EQ(emulator::RawImageByte(0, 0), 0);
  EXPECT_EQ(emulator::RawImageByte(0, 300), 45);      // x = 300: 300 + 1 = 301
  EXPECT_EQ(emulator::RawImageByte(0, 4096), 13);     // block 1: s = 13
  EXPECT_EQ(emulator::RawImageByte(2, 4095), 29);     // s = 14, x = 4109: 4109 + 16 = 4125
  EXPECT_EQ(emulator::LineWord(1, 2, 3), 174);        // 131 + 34 + 9
  EXPECT_EQ(emulator::LineWord(0x10000, 0, 0), 0);    // 131 * 65536 is a multiple of 32768
  EXPECT_EQ(emulator::InfoWord(5, 6), 1547);          // 5 + 1542
  EXPECT_EQ(emulator::InfoWord(0x12345, 0), 0x2345);  // low 15 bits

  for (std::uint32_t frame : {0u, 1u, 77u, 0xFFFFFFFFu}) {
    for (std::uint32_t i = 0; i < 3 * 4096; i += 7)
      ASSERT_EQ(emulator::RawImageByte(frame, i), ExpectedRawByte(frame, i)) << frame << " " << i;
    for (std::uint32_t line : {0u, 1u, 998u, 999u})
      for (std::uint32_t j = 0; j < 500; ++j) {
        const std::uint16_t word = emulator::LineWord(frame, line, j);
        ASSERT_EQ(word, ExpectedLineWord(frame, line, j));
        ASSERT_LT(word, 0x8000);  // never mistaken for a sync word
      }
    for (std::uint32_t k = 0; k < 16; ++k)
      ASSERT_EQ(emulator::InfoWord(frame, k), ExpectedInfoWord(frame, k));
  }
}

TEST_F(CameraStreamTest, StartRequestIsAnsweredAndOtherRequestsStall) {
  EXPECT_FALSE(Stream().Streaming());
  auto record = ControlRecord(0xC0, 0xFE, 0xFF00, 0, 64, 64);
  record[kHeader] = 0xAA;
  const Reply reply = InOut(handle, kControl, record);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.bytes, kHeader + 64);
  EXPECT_TRUE(
      std::all_of(record.begin() + kHeader, record.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(Stream().Streaming());
  EXPECT_EQ(Stream().Counters().startRequests, 1u);

  // The same request with another type or value is not the start request.
  EXPECT_EQ(StartStream(handle, 0xC2).error, platform::kErrorGenFailure);
  EXPECT_EQ(StartStream(handle, 0xC0, 0xFF01).error, platform::kErrorGenFailure);
  EXPECT_EQ(Stream().Counters().startRequests, 1u);
}

TEST_F(CameraStreamTest, NothingIsSentBeforeTheStartRequest) {
  StreamReader reader(handle, 4);
  ASSERT_TRUE(reader.Fill());
  ASSERT_TRUE(Stream().WaitUntilIdle(std::chrono::seconds(5)));
  EXPECT_FALSE(reader.OldestFinished());
  EXPECT_EQ(device->PendingTransfers(kImageEndpoint), 4u);

  Start();
  // Requests that waited before the start request are served too, header first.
  ASSERT_TRUE(reader.Next(false));
  ASSERT_EQ(reader.bytes.size(), kBlock);
  auto header = ParseHeader(reader.bytes.data());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->number, 1u);
}

TEST_F(CameraStreamTest, RawFramesCarryTheirHeaderAndTheImagePattern) {
  Configure([](StreamConfig& c) {
    c.cacheCount = 7;
    c.cacheUseCount = 9;
  });
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kDefaultFrameBlocks, 3)));
  for (const Completion& c : reader.completions) EXPECT_EQ(c.bytes, kBlock);

  const SplitStream split = SplitFrames(reader.bytes);
  EXPECT_EQ(split.leadingBlocks, 0u);
  ASSERT_GE(split.frames.size(), 3u);
  for (std::size_t f = 0; f < 3; ++f) {
    const CapturedFrame& frame = split.frames[f];
    EXPECT_EQ(frame.header.number, f + 1);
    EXPECT_EQ(frame.header.width, 1024);
    EXPECT_EQ(frame.header.height, 768);
    EXPECT_EQ(frame.header.packCount, 305u);
    EXPECT_EQ(frame.header.cacheCount, 7);
    EXPECT_EQ(frame.header.cacheUseCount, 9);
    EXPECT_NE(frame.header.mode, 0x52434D4Cu);
    EXPECT_TRUE(UnusedHeaderBytesZero(reader.bytes.data() + frame.headerBlock * kBlock));
    ASSERT_EQ(frame.dataBlocks, 384u);
    EXPECT_EQ(FirstRawMismatch(frame.data, frame.dataBlocks, frame.header.number, 1024 * 768 * 2),
              -1);
  }
  EXPECT_TRUE(Stream().WaitForFrames(3, std::chrono::seconds(5)));
}

TEST_F(CameraStreamTest, RawFrameSizeFollowsGeometryAndPixelSize) {
  Configure([](StreamConfig& c) {
    c.width = 100;
    c.height = 30;
    c.pixelSize = 3;  // 9000 bytes: two full blocks and 808 bytes padded
    c.packCount = 3;
  });
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(4, 4)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 4u);
  for (std::size_t f = 0; f < 4; ++f) {
    const CapturedFrame& frame = split.frames[f];
    EXPECT_EQ(frame.header.width, 100);
    EXPECT_EQ(frame.header.height, 30);
    EXPECT_EQ(frame.header.packCount, 3u);
    ASSERT_EQ(frame.dataBlocks, 3u);
    EXPECT_EQ(FirstRawMismatch(frame.data, 3, frame.header.number, 9000), -1);
  }
}

class LinePacketStreamTest : public CameraStreamTest,
                             public ::testing::WithParamInterface<LineOrder> {};

TEST_P(LinePacketStreamTest, FramesHoldInfoAndLinesInOrder) {
  const bool infoFirst = GetParam() == LineOrder::kInfoFirst;
  Configure([](StreamConfig& c) {
    c.mode = StreamMode::kLinePacket;
    c.lineOrder = GetParam();
  });
  Start();
  // 1001 packets: 1000 * 506 + 22 words = 1,012,044 bytes: 248 data blocks.
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(249, 2)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 2u);
  for (std::size_t f = 0; f < 2; ++f) {
    const CapturedFrame& frame = split.frames[f];
    EXPECT_EQ(frame.header.number, f + 1);
    EXPECT_EQ(frame.header.mode, 0x52434D4Cu);
    EXPECT_EQ(frame.header.width, 1000);
    EXPECT_EQ(frame.header.height, 1000);
    EXPECT_EQ(frame.header.packCount, 305u);
    ASSERT_EQ(frame.dataBlocks, 248u);
    const PacketScan scan = ScanFrame(frame);
    EXPECT_FALSE(scan.truncated);
    EXPECT_EQ(scan.strayWords, 0u);
    EXPECT_TRUE(scan.fillers.empty());
    ExpectLineFrame(scan.packets, frame.header.number, infoFirst);
    // Packets follow each other without gaps and run across blocks.
    for (std::size_t i = 1; i < scan.packets.size(); ++i)
      ASSERT_EQ(scan.packets[i].at, scan.packets[i - 1].at + 6 + scan.packets[i - 1].length);
    // The padding after the last packet is zeros.
    const std::size_t end = scan.packets.back().at + 6 + scan.packets.back().length;
    for (std::size_t i = 2 * end; i < 248 * kBlock; ++i) ASSERT_EQ(frame.data[i], 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, LinePacketStreamTest,
                         ::testing::Values(LineOrder::kInfoFirst, LineOrder::kLinesFirst));

TEST_F(CameraStreamTest, FillersMovePacketStartsAndPadTheLastBlock) {
  Configure([](StreamConfig& c) {
    c.mode = StreamMode::kLinePacket;
    c.fillers = Fillers::kBetweenPackets;
    c.maxFillerWords = 40;
    c.fillerSeed = 11;
    c.padding = FramePadding::kFiller;
  });
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(260, 3)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 2u);
  for (std::size_t f = 0; f < 2; ++f) {
    const CapturedFrame& frame = split.frames[f];
    const PacketScan scan = ScanFrame(frame);
    EXPECT_EQ(scan.strayWords, 0u);
    ExpectLineFrame(scan.packets, frame.header.number, true);
    // One filler between every two packets, and one padding the last block.
    ASSERT_EQ(scan.fillers.size(), 1001u);
    std::set<std::size_t> sizes;
    for (std::size_t i = 0; i + 1 < scan.fillers.size(); ++i) {
      EXPECT_LE(scan.fillers[i].length, 40u);
      sizes.insert(scan.fillers[i].length);
    }
    EXPECT_GT(sizes.size(), 20u);
    const Packet& pad = scan.fillers.back();
    EXPECT_EQ(2 * (pad.at + 6 + pad.length), frame.dataBlocks * kBlock);
    // Packets start at many word positions within a block; some span blocks.
    std::set<std::size_t> starts;
    std::size_t spanning = 0;
    for (const Packet& p : scan.packets) {
      starts.insert(p.at % 2048);
      if (p.at / 2048 != (p.at + 6 + p.length - 1) / 2048) ++spanning;
    }
    EXPECT_GT(starts.size(), 500u);
    EXPECT_GT(spanning, 100u);
  }
}

TEST_F(CameraStreamTest, ShortTransfersCutBlocksAnywhere) {
  Configure([](StreamConfig& c) {
    c.width = 256;
    c.height = 64;  // 8 data blocks
    c.pixelSize = 2;
    c.shortTransfers.enabled = true;
    c.shortTransfers.minBytes = 1;
    c.shortTransfers.maxBytes = 4095;
    c.shortTransfers.seed = 5;
  });
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(9, 6)));
  std::size_t position = 0;
  std::size_t acrossBlocks = 0;
  std::set<std::uint32_t> sizes;
  for (const Completion& c : reader.completions) {
    ASSERT_TRUE(c.ok);
    EXPECT_GE(c.bytes, 1u);
    EXPECT_LT(c.bytes, kBlock);
    sizes.insert(c.bytes);
    if (position / kBlock != (position + c.bytes - 1) / kBlock) ++acrossBlocks;
    position += c.bytes;
  }
  EXPECT_GT(sizes.size(), reader.completions.size() / 2);
  EXPECT_GT(acrossBlocks, 5u);
  // The bytes, put together, are the same stream.
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 5u);
  for (std::size_t f = 0; f < 5; ++f) {
    EXPECT_EQ(split.frames[f].header.number, f + 1);
    ASSERT_EQ(split.frames[f].dataBlocks, 8u);
    EXPECT_EQ(
        FirstRawMismatch(split.frames[f].data, 8, split.frames[f].header.number, 256 * 64 * 2), -1);
  }
}

TEST_F(CameraStreamTest, StreamPausesWithoutRequestsAndGoesOnWhereItStopped) {
  Start();
  StreamReader reader(handle, 8);
  ASSERT_TRUE(reader.Fill());
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(reader.Next(false));
  ASSERT_TRUE(
      Stream().WaitUntil([](const emulator::StreamCounters& c) { return c.blocksSent == 8; },
                         std::chrono::seconds(5)));
  ASSERT_TRUE(Stream().WaitUntilIdle(std::chrono::seconds(5)));
  EXPECT_EQ(Stream().Counters().blocksSent, 8u);  // nothing sent without requests

  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kDefaultFrameBlocks, 2)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_GE(split.frames.size(), 2u);
  EXPECT_EQ(split.frames[0].header.number, 1u);
  ASSERT_EQ(split.frames[0].dataBlocks, 384u);
  EXPECT_EQ(FirstRawMismatch(split.frames[0].data, 384, 1, 1024 * 768 * 2), -1);
  EXPECT_EQ(split.frames[1].header.number, 2u);
}

TEST_F(CameraStreamTest, StartRequestBeginsANewFrame) {
  Start();
  {
    StreamReader reader(handle, 16);
    ASSERT_TRUE(reader.ReadUntil(10 * kBlock));
    ASSERT_TRUE(ParseHeader(reader.bytes.data()));
  }  // aborts the rest
  Start();
  StreamReader reader(handle, 16);
  ASSERT_TRUE(reader.ReadUntil(kBlock));
  auto header = ParseHeader(reader.bytes.data());
  ASSERT_TRUE(header);
  EXPECT_EQ(header->number, 2u);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kDefaultFrameBlocks, 1) + kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 2u);
  EXPECT_EQ(split.frames[0].dataBlocks, 384u);
  EXPECT_EQ(split.frames[1].header.number, 3u);

  const auto counters = Stream().Counters();
  EXPECT_EQ(counters.startRequests, 2u);
  EXPECT_GE(counters.framesStarted, 3u);
  EXPECT_GE(counters.framesFinished, 1u);  // the first frame was cut short
  EXPECT_LT(counters.framesFinished, counters.framesStarted);
}

TEST_F(CameraStreamTest, ReadsOfAClosedHandleTakeNothingFromTheStream) {
  std::vector<std::unique_ptr<Read>> stale;
  for (int i = 0; i < 8; ++i) {
    stale.push_back(std::make_unique<Read>());
    ASSERT_TRUE(stale.back()->Issue(handle, kImageEndpoint, kBlock));
  }
  platform::CloseHandle(handle);  // the reads end aborted
  for (auto& read : stale) ASSERT_TRUE(read->Finished());
  handle = platform::OpenDevicePath(device->Path());
  ASSERT_NE(handle, platform::InvalidHandle());

  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(kDefaultFrameBlocks, 1) + kBlock));
  const SplitStream split = SplitFrames(reader.bytes);
  EXPECT_EQ(split.leadingBlocks, 0u);
  ASSERT_EQ(split.frames.size(), 2u);
  EXPECT_EQ(split.frames[0].header.number, 1u);
  EXPECT_EQ(split.frames[0].dataBlocks, 384u);
  EXPECT_EQ(FirstRawMismatch(split.frames[0].data, 384, 1, 1024 * 768 * 2), -1);
  EXPECT_EQ(split.frames[1].header.number, 2u);
}

TEST_F(CameraStreamTest, SetNextFrameNumberWrapsAround) {
  Stream().SetNextFrameNumber(0xFFFFFFFE);
  Configure([](StreamConfig& c) {
    c.width = 64;
    c.height = 64;
    c.pixelSize = 1;
  });
  Start();
  StreamReader reader(handle);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(2, 3)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 3u);
  EXPECT_EQ(split.frames[0].header.number, 0xFFFFFFFEu);
  EXPECT_EQ(split.frames[1].header.number, 0xFFFFFFFFu);
  EXPECT_EQ(split.frames[2].header.number, 0u);
  EXPECT_EQ(FirstRawMismatch(split.frames[2].data, 1, 0, 4096), -1);
}

TEST_F(CameraStreamTest, FrameLimitStopsTheStreamUntilTheNextStart) {
  Configure([](StreamConfig& c) {
    c.width = 64;
    c.height = 64;
    c.pixelSize = 2;  // 2 data blocks
    c.frameLimit = 2;
  });
  Start();
  StreamReader reader(handle, 16);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(3, 2)));
  ASSERT_TRUE(Stream().WaitForFrames(2, std::chrono::seconds(5)));
  ASSERT_TRUE(Stream().WaitUntilIdle(std::chrono::seconds(5)));
  EXPECT_FALSE(reader.OldestFinished());
  EXPECT_EQ(Stream().Counters().blocksSent, 6u);
  EXPECT_EQ(device->PendingTransfers(kImageEndpoint), 16u);

  Start();  // the waiting requests get the next two frames
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(3, 4)));
  const SplitStream split = SplitFrames(reader.bytes);
  ASSERT_EQ(split.frames.size(), 4u);
  for (std::size_t f = 0; f < 4; ++f) EXPECT_EQ(split.frames[f].header.number, f + 1);
  ASSERT_TRUE(Stream().WaitForFrames(4, std::chrono::seconds(5)));
  ASSERT_TRUE(Stream().WaitUntilIdle(std::chrono::seconds(5)));
  EXPECT_EQ(Stream().Counters().framesFinished, 4u);  // no fifth frame
}

TEST_F(CameraStreamTest, CountersFollowWhatWasSent) {
  Configure([](StreamConfig& c) {
    c.width = 128;
    c.height = 64;
    c.pixelSize = 2;  // 4 data blocks
    c.frameLimit = 5;
  });
  Start();
  StreamReader reader(handle, 64);
  ASSERT_TRUE(reader.ReadUntil(FrameBytes(5, 5)));
  ASSERT_TRUE(Stream().WaitForFrames(5, std::chrono::seconds(5)));
  const auto c = Stream().Counters();
  EXPECT_EQ(c.startRequests, 1u);
  EXPECT_EQ(c.framesStarted, 5u);
  EXPECT_EQ(c.framesFinished, 5u);
  EXPECT_EQ(c.blocksSent, 25u);
  EXPECT_EQ(c.bytesSent, 25u * kBlock);
  EXPECT_EQ(c.transfersCompleted, 25u);
  EXPECT_EQ(c.lastFrameNumber, 5u);
  EXPECT_EQ(c.blocksDropped + c.blocksDuplicated + c.transferErrors + c.stalls, 0u);
}

TEST_F(CameraStreamTest, RateLimitHoldsTheStreamBack) {
  Configure([](StreamConfig& c) { c.bytesPerSecond = 20000000; });
  Start();
  StreamReader reader(handle);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(reader.ReadUntil(4000000));
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  // 4 MB at 20 MB/s take 200 ms; the limit allows a burst of 1 ms.
  EXPECT_GE(elapsed, std::chrono::milliseconds(180));
}

TEST_F(CameraStreamTest, BufferedReadsGetTheStreamAfterTheirHeader) {
  Start();
  Overlapped read;
  ASSERT_TRUE(read.Buffered(handle, kImageEndpoint, kBlock));
  const Reply r = read.Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, kHeader + kBlock);
  auto header = ParseHeader(read.record.data() + kHeader);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->number, 1u);
  EXPECT_EQ(Get32(read.record, 14), 0u);  // status words
  EXPECT_EQ(Get32(read.record, 18), 0u);
}

}  // namespace
}  // namespace lumo::test
