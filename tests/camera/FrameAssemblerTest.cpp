// Raw-mode frame assembly from the StreamRing.
#include <cstring>

#include "camera/AssemblerFixture.h"

namespace lumo::camera {
namespace {

using test::Append;
using test::Bytes;
using test::HeaderBlock;
using test::ImageBlock;

using RawAssembly = test::AssemblerFixture;

// Checks that the record holds `blocks` image blocks of `frame`.
void ExpectImage(FrameRecord* record, std::uint32_t frame, std::uint32_t blocks) {
  ASSERT_EQ(record->header.imageAddress, record->Bytes() + kRawImageOffset);
  for (std::uint32_t b = 0; b < blocks; ++b) {
    const Bytes expected = ImageBlock(frame, b);
    ASSERT_EQ(std::memcmp(record->header.imageAddress + b * 4096, expected.data(), 4096), 0)
        << "frame " << frame << " block " << b;
  }
}

TEST_F(RawAssembly, RingCopiesWrapNeverOverwriteAndAreAnnouncedInBatches) {
  const Bytes block = ImageBlock(1, 0);
  const auto signalled = [&] {
    return platform::WaitForEvent(state.streamRing.dataEvent.get(), 0) == platform::kWaitObject0;
  };
  // A copy that ends exactly at the ring's end leaves the position at 0.
  state.streamRing.ringWritePos = kStreamRingSize - 4096;
  state.streamRing.ringReadPos = kStreamRingSize - 4096;
  state.streamRing.Append(block.data(), 4096);
  EXPECT_EQ(state.streamRing.ringWritePos, 0u);
  EXPECT_EQ(std::memcmp(state.streamRing.ring.get() + kStreamRingSize - 4096, block.data(), 4096),
            0);
  // A straddling copy fills the ring to its end and goes on at its start.
  state.streamRing.ringWritePos = kStreamRingSize - 100;
  state.streamRing.ringReadPos = kStreamRingSize - 100;
  state.streamRing.Append(block.data(), 4096);
  EXPECT_EQ(state.streamRing.ringWritePos, 3996u);
  EXPECT_EQ(std::memcmp(state.streamRing.ring.get() + kStreamRingSize - 100, block.data(), 100), 0);
  EXPECT_EQ(std::memcmp(state.streamRing.ring.get(), block.data() + 100, 3996), 0);
  // Small appends wake nobody until announced; an announcement of nothing
  // new wakes nobody either.
  EXPECT_FALSE(signalled());
  state.streamRing.Announce();
  EXPECT_TRUE(signalled());
  state.streamRing.Announce();
  EXPECT_FALSE(signalled());
  // A batch's worth announces itself, once.
  for (std::uint32_t i = 0; i < kStreamAnnounceBytes / 4096; ++i)
    state.streamRing.Append(block.data(), 4096);
  EXPECT_TRUE(signalled());
  EXPECT_FALSE(signalled());
  // Bytes the reader has not read are never written over: what does not
  // fit is dropped and a gap marked where it would have gone.
  state.streamRing.ringReadPos = state.streamRing.ringWritePos + 4096;
  const std::uint32_t before = state.streamRing.ringWritePos;
  std::uint32_t gap = 0;
  EXPECT_FALSE(state.streamRing.NextGap(&gap));
  state.streamRing.Append(block.data(), 4096);
  EXPECT_EQ(state.streamRing.ringWritePos, before);
  ASSERT_TRUE(state.streamRing.NextGap(&gap));
  EXPECT_EQ(gap, before);
}

TEST_F(RawAssembly, FrameAfterItsHeaderIsQueuedWithItsHeaderFields) {
  StartRun(4, 2);
  Bytes stream = ImageBlock(99, 0);  // before the first header: ignored
  Append(stream, HeaderBlock(64, 64, 7));
  Append(stream, ImageBlock(7, 0));
  Append(stream, ImageBlock(7, 1));  // 64 x 64 x 2 = 2 blocks
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]->header.width, 64u);
  EXPECT_EQ(ready[0]->header.height, 64u);
  EXPECT_EQ(ready[0]->header.depth, 2u);
  EXPECT_EQ(ready[0]->header.format, 0u);
  EXPECT_EQ(ready[0]->header.frameNumber, 7u);
  EXPECT_EQ(ready[0]->header.reserved72, 0u);
  ExpectImage(ready[0], 7, 2);
  EXPECT_EQ(state.frames.frameReady, 1);
  EXPECT_EQ(state.completedFrames, 1);
}

TEST_F(RawAssembly, BlocksAreGatheredAcrossTheRingsEndAndFromShortTransfers) {
  StartRun();
  state.streamRing.ringWritePos = kStreamRingSize - 5000;
  state.streamRing.ringReadPos = kStreamRingSize - 5000;
  Bytes stream = HeaderBlock(100, 100, 1);  // 20000 bytes: 5 blocks
  for (std::uint32_t b = 0; b < 5; ++b) Append(stream, ImageBlock(1, b));
  Feed(stream, 1000);  // short transfers that straddle the end
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  ExpectImage(ready[0], 1, 5);
  EXPECT_EQ(state.streamRing.ringReadPos, state.streamRing.ringWritePos);
  EXPECT_LT(state.streamRing.ringWritePos, 30000u);
}

TEST_F(RawAssembly, SizeNotAWholeNumberOfBlocksCompletesWithTheCrossingBlock) {
  StartRun();
  Bytes stream = HeaderBlock(3000, 1, 2);  // 6000 bytes: 2 blocks
  Append(stream, ImageBlock(2, 0));
  Append(stream, ImageBlock(2, 1));
  Append(stream, ImageBlock(2, 2));  // after completion, before a header: ignored
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  ExpectImage(ready[0], 2, 2);
}

TEST_F(RawAssembly, ZeroSizesCompleteOnTheFirstDataBlock) {
  StartRun(8, 0);  // pixel size 0
  Bytes stream = HeaderBlock(64, 64, 1);
  Append(stream, ImageBlock(1, 0));
  Feed(stream);
  EXPECT_EQ(Ready().size(), 1u);
  assembler.reset();

  StartRun(8, 2);
  stream = HeaderBlock(0, 64, 2);
  Append(stream, ImageBlock(2, 0));
  Append(stream, HeaderBlock(640, 480, 3, 0));  // packcount 0
  Append(stream, ImageBlock(3, 0));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[1]->header.frameNumber, 3u);
}

TEST_F(RawAssembly, HeaderInsideAnOpenFrameRestartsTheSameBuffer) {
  StartRun();
  Bytes stream = HeaderBlock(64, 64, 5);  // 2 blocks
  Append(stream, ImageBlock(5, 0));
  Append(stream, HeaderBlock(32, 64, 6));  // 1 block
  Append(stream, ImageBlock(6, 0));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]->header.frameNumber, 6u);
  EXPECT_EQ(ready[0]->header.width, 64u);    // kept from when the buffer was taken
  EXPECT_EQ(FactsOf(*ready[0]).width, 32u);  // what a LumoFrame tells
  EXPECT_EQ(FactsOf(*ready[0]).sequence, 1u);
  ExpectImage(ready[0], 6, 1);
  std::lock_guard<std::mutex> lock(state.frames.frameLock);
  EXPECT_EQ(state.frames.freeFrames.size(), 3u);
}

TEST_F(RawAssembly, DataBlockBeginningWithTheMagicWordsIsTakenAsAHeader) {
  StartRun();
  Bytes stream = HeaderBlock(64, 64, 1);
  Bytes fake = HeaderBlock(32, 64, 40);  // "image data" that looks like a header
  Append(stream, fake);
  Append(stream, ImageBlock(40, 0));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]->header.frameNumber, 40u);
}

TEST_F(RawAssembly, FramesAreLostLoudlyWhenNoBufferIsFreeOrTheQueueIsFull) {
  StartRun(2);
  Bytes stream;
  for (std::uint32_t f = 10; f < 13; ++f) {
    Append(stream, HeaderBlock(32, 64, f));  // 1 block each
    Append(stream, ImageBlock(f, 0));
  }
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[1]->header.frameNumber, 11u);
  const auto lines = console.Captured();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "lost frame [12]!\r\n");  // no free buffer: the frame number

  // The queue holds bufferCount frames at most: with a third buffer in the
  // pool, a third completed frame is dropped, named by completedFrames.
  assembler.reset();
  console.Clear();
  state.bufferCount = 2;
  state.frames.MakePool(3);
  assembler = std::make_unique<FrameAssembler>(state);
  state.completedFrames = 0;
  Feed(stream);
  EXPECT_EQ(Ready().size(), 2u);
  const auto dropped = console.Captured();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0], "lost frame [3]!\r\n");
}

TEST_F(RawAssembly, AFrameWithoutABufferIsReportedOnceNotOncePerBlock) {
  StartRun(1);
  Bytes stream;
  for (std::uint32_t f = 20; f < 23; ++f) {
    Append(stream, HeaderBlock(256, 64, f));  // 8 blocks each
    for (std::uint32_t b = 0; b < 8; ++b) Append(stream, ImageBlock(f, b));
  }
  Feed(stream);
  ASSERT_EQ(Ready().size(), 1u);  // frame 20 holds the only buffer
  const auto lines = console.Captured();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "lost frame [21]!\r\n");
  EXPECT_EQ(lines[1], "lost frame [22]!\r\n");
}

// A frame larger than the records hold makes the record it is stored in
// grow (the image stays at its offset); one larger than any record may be
// is refused. Every frame that begins takes the next sequence number and is
// stamped, the refused one too.
TEST_F(RawAssembly, LargerFramesGrowTheirRecordsAndOversizedOnesAreRefused) {
  StartRun(2, 2);
  const std::int64_t before = SteadyNowNs();
  Bytes stream = HeaderBlock(2048, 1100, 1);  // 4.3 MiB of image: more than a record holds
  for (std::uint32_t b = 0; b < 1100; ++b) Append(stream, ImageBlock(1, b));
  Append(stream, HeaderBlock(65535, 65535, 2));  // 8 GiB: more than any record may be
  Append(stream, ImageBlock(2, 0));
  Append(stream, HeaderBlock(32, 64, 3));
  Append(stream, ImageBlock(3, 0));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready[0]->header.frameNumber, 1u);
  ExpectImage(ready[0], 1, 1100);
  const FrameFacts& grown = FactsOf(*ready[0]);
  EXPECT_GE(grown.recordBytes, kRawImageOffset + 1100u * 4096);
  EXPECT_EQ(grown.imageBytes, 2048u * 1100 * 2);
  EXPECT_EQ(grown.sequence, 0u);
  EXPECT_GE(grown.timestampNs, before);
  EXPECT_GE(grown.completedNs, grown.timestampNs);
  EXPECT_LE(grown.completedNs, SteadyNowNs());
  EXPECT_EQ(ready[1]->header.frameNumber, 3u);
  EXPECT_EQ(FactsOf(*ready[1]).sequence, 2u);  // the refused frame took 1
  ExpectImage(ready[1], 3, 1);
}

// A frame lost for want of a buffer goes on in one given back in its
// middle; the next frame's header starts over in that buffer, and the
// record then tells the new frame's sequence and time.
TEST_F(RawAssembly, AFrameStartingOverInABufferIsStampedAsItself) {
  StartRun(2);
  Bytes stream;
  for (std::uint32_t n = 1; n <= 3; ++n) {
    Append(stream, HeaderBlock(64, 64, n));  // 2 blocks each; frame 3 finds no buffer
    if (n < 3) Append(stream, ImageBlock(n, 0)), Append(stream, ImageBlock(n, 1));
  }
  Append(stream, ImageBlock(3, 0));
  Feed(stream);
  FrameRecord* image = nullptr;
  ASSERT_TRUE(state.frames.TakeFrame(&image, 0, true));  // frame 1 held
  ASSERT_TRUE(state.frames.TakeFrame(&image, 0, true));  // frame 1's buffer free, 2 held
  const std::int64_t frame2Time = FactsOf(*image).timestampNs;
  stream = ImageBlock(3, 1);
  Append(stream, HeaderBlock(64, 64, 4));
  Append(stream, ImageBlock(4, 0));
  Append(stream, ImageBlock(4, 1));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]->header.frameNumber, 4u);
  ExpectImage(ready[0], 4, 2);
  EXPECT_EQ(FactsOf(*ready[0]).sequence, 3u);
  EXPECT_GT(FactsOf(*ready[0]).timestampNs, frame2Time);
  EXPECT_EQ(state.counters.framesLostNoBuffer.load(), 1u);
  EXPECT_EQ(state.counters.framesIncomplete.load(), 0u);
}

// The assembler's end empties the queues but keeps the pool: a run that
// ends because its camera was unplugged resumes on the same buffers.
TEST_F(RawAssembly, EndOfRunEmptiesTheQueuesAndKeepsThePool) {
  StartRun(3);
  Bytes stream = HeaderBlock(32, 64, 1);
  Append(stream, ImageBlock(1, 0));
  Feed(stream);
  ASSERT_EQ(Ready().size(), 1u);
  const FrameRecord* const first = state.frames.pool->records.front().get();
  assembler.reset();
  ASSERT_EQ(state.frames.PoolSize(), 3u);
  EXPECT_EQ(state.frames.pool->records.front().get(), first);
  EXPECT_TRUE(state.frames.readyFrames.empty());
  EXPECT_TRUE(state.frames.freeFrames.empty());
}

}  // namespace
}  // namespace lumo::camera
