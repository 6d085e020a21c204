// Line-packet frames: packets found across blocks, both orders of info and
// lines, anomalies, and the published record.
#include <cstring>

#include "camera/AssemblerFixture.h"
#include "camera/LinePacketDecoder.h"

namespace lumo::camera {
namespace {

using test::Append;
using test::Bytes;
using test::HeaderBlock;
using test::InfoPayload;
using test::LineFrame;
using test::LinePayload;
using test::Packet;
using test::ToBlocks;
using test::Words;

using LineAssembly = test::AssemblerFixture;

Bytes LineStream(std::uint32_t frame, const Words& words) {
  Bytes stream = HeaderBlock(1000, 1000, frame, 305, test::kLmcrMode);
  Append(stream, ToBlocks(words));
  return stream;
}

void ExpectLineFrame(FrameRecord* record, std::uint32_t frame) {
  const FrameRecordHeader& header = record->header;
  EXPECT_EQ(header.width, 1000u);
  EXPECT_EQ(header.height, 1000u);
  EXPECT_EQ(header.depth, 8u);
  EXPECT_EQ(header.frameNumber, frame);
  EXPECT_EQ(header.infoAddress, record->Bytes() + 148);
  ASSERT_EQ(header.imageAddress, record->Bytes() + 10148);
  EXPECT_EQ(header.imageBytes, 1000000u);
  EXPECT_EQ(header.bufferBytes, 1000000u);
  EXPECT_EQ(header.infoLength, 32u);
  EXPECT_EQ(header.reserved128, 203u);
  const Words info = InfoPayload(frame);
  EXPECT_EQ(header.infoWord0, info[0]);
  EXPECT_EQ(header.infoWord6, info[6]);
  std::uint16_t word15 = 0;
  std::memcpy(&word15, header.infoAddress + 30, 2);
  EXPECT_EQ(word15, 0x0030);
  for (std::uint32_t line : {0u, 1u, 500u, 998u, 999u}) {
    const Words expected = LinePayload(frame, line);
    ASSERT_EQ(std::memcmp(header.imageAddress + 1000 * line, expected.data(), 1000), 0)
        << "line " << line;
  }
}

TEST_F(LineAssembly, InfoFirstAndLinesFirstGiveTheSameFrame) {
  StartRun(4);
  Bytes stream = LineStream(21, LineFrame(21, true));
  Append(stream, LineStream(22, LineFrame(22, false)));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 2u);
  ExpectLineFrame(ready[0], 21);
  ExpectLineFrame(ready[1], 22);
  // The info packet is announced on the console with the block counter.
  const auto lines = console.Captured();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[306],1061\r\n");
}

TEST_F(LineAssembly, PacketsSplitAtAnyWordAcrossBlocksDecodeAlike) {
  // A filler of k words first moves every later word by k: the sync, type,
  // length and payload words then straddle block ends at every position.
  for (std::uint32_t k : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 1000u, 2041u, 2042u, 2047u}) {
    StartRun(2);
    Words words;
    if (k >= 6) {
      const Words filler = Packet(0x80, Words(k - 6, 0x7777));
      words.insert(words.end(), filler.begin(), filler.end());
    } else {
      words.insert(words.end(), k, 0x1111);  // noise the hunt skips
    }
    const Words frame = LineFrame(30 + k, k % 2 == 0);
    words.insert(words.end(), frame.begin(), frame.end());
    Feed(LineStream(30 + k, words));
    auto ready = Ready();
    ASSERT_EQ(ready.size(), 1u) << "shift " << k;
    ExpectLineFrame(ready[0], 30 + k);
    assembler.reset();
  }
}

TEST_F(LineAssembly, DoubledFirstSyncWordSkipsThePacket) {
  StartRun(2);
  Words words = LineFrame(5, true);
  // Put a doubled sync word before the last line: that packet is not seen,
  // so the frame never gets its last line and is not published.
  const Words last = Packet(4, LinePayload(5, 999));
  words.resize(words.size() - last.size());
  words.push_back(0xC53A);
  words.insert(words.end(), last.begin(), last.end());
  Feed(LineStream(5, words));
  EXPECT_TRUE(Ready().empty());
  // A well-formed last line afterwards completes it.
  const Words again = Packet(4, LinePayload(5, 999));
  Feed(ToBlocks(again));
  ASSERT_EQ(Ready().size(), 1u);
}

TEST_F(LineAssembly, AnomaliesSendTheDecoderBackToTheHunt) {
  StartRun(2);
  Words words;
  const Words early = Packet(3, LinePayload(9, 0));  // a further line before any frame
  words.insert(words.end(), early.begin(), early.end());
  const Words tooLong = {0xC53A, 0xA35C, 0xC53A, 2, 0, 10001};  // length above 10000
  words.insert(words.end(), tooLong.begin(), tooLong.end());
  const Words unknown = Packet(9, Words(10, 0));
  words.insert(words.end(), unknown.begin(), unknown.end());
  const Words frame = LineFrame(9, true);
  words.insert(words.end(), frame.begin(), frame.end());
  Feed(LineStream(9, words));
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  ExpectLineFrame(ready[0], 9);
}

// A further-line packet before any frame is refused together with the word
// after its type word, also when that word opens the next block: the info
// packet right behind it is then lost wherever the block ends fall.
TEST_F(LineAssembly, ARefusedPacketTakesItsNextWordAcrossABlockEnd) {
  for (std::uint32_t k : {0u, 2043u, 2044u}) {
    StartRun(2);
    Words words(k, 0x1111);  // noise the hunt skips; 2044 puts the type word last in the block
    const Words refused = {0xC53A, 0xA35C, 0xC53A, 3};
    words.insert(words.end(), refused.begin(), refused.end());
    const Words frame = LineFrame(40, true);
    words.insert(words.end(), frame.begin(), frame.end());
    Feed(LineStream(40, words));
    // The info packet's first sync word went with the refused packet, so
    // its info never arrives and the frame is not published.
    EXPECT_TRUE(Ready().empty()) << "shift " << k;
    assembler.reset();
  }
}

TEST_F(LineAssembly, EmptyLinePacketsCountAsLines) {
  StartRun(2);
  Words words;
  const Words info = Packet(1, InfoPayload(3));
  words.insert(words.end(), info.begin(), info.end());
  for (std::uint32_t line = 0; line < 1000; ++line) {
    const Words packet = Packet(line == 0 ? 2 : (line == 999 ? 4 : 3), {});
    words.insert(words.end(), packet.begin(), packet.end());
  }
  Feed(LineStream(3, words));
  EXPECT_EQ(Ready().size(), 1u);
}

TEST_F(LineAssembly, LinesBeforeTheInfoStayInsideTheScratchRecord) {
  StartRun(2);
  Words words;
  // 6000 full lines of 10000 words before any info: far past the record.
  for (std::uint32_t line = 0; line < 6000; ++line) {
    const Words packet = Packet(line == 0 ? 2 : 3, Words(10000, 0xABCD));
    words.insert(words.end(), packet.begin(), packet.end());
  }
  Feed(LineStream(4, words));
  EXPECT_TRUE(Ready().empty());
  EXPECT_EQ(state.lineDecoder.lineCount, 6000u);
}

TEST_F(LineAssembly, OverLongInfoAndLinesOverlapInArrivalOrder) {
  StartRun(2);
  Words words;
  // 6000 info words run 2000 bytes into the line area; line 0 then
  // overwrites them. Line 1 is 600 words: its last 100 words land where
  // line 2 starts, and line 2, arriving later, wins there.
  Words info = InfoPayload(8, 6000);
  const Words infoPacket = Packet(1, info);
  words.insert(words.end(), infoPacket.begin(), infoPacket.end());
  for (std::uint32_t line = 0; line < 1000; ++line) {
    const std::uint16_t type = line == 0 ? 2 : (line == 999 ? 4 : 3);
    const Words packet = Packet(type, LinePayload(8, line, line == 1 ? 600 : 500));
    words.insert(words.end(), packet.begin(), packet.end());
  }
  Feed(LineStream(8, words));
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  const FrameRecordHeader& header = ready[0]->header;
  EXPECT_EQ(header.infoLength, 6000u);
  const Words line0 = LinePayload(8, 0);
  EXPECT_EQ(std::memcmp(header.imageAddress, line0.data(), 1000), 0);
  // The info area itself keeps the first 5000 info words.
  std::uint16_t word = 0;
  std::memcpy(&word, header.infoAddress + 2 * 4999, 2);
  EXPECT_EQ(word, info[4999]);
  const Words line2 = LinePayload(8, 2);
  EXPECT_EQ(std::memcmp(header.imageAddress + 2000, line2.data(), 1000), 0);
  const Words line1 = LinePayload(8, 1, 600);
  EXPECT_EQ(std::memcmp(header.imageAddress + 1000, line1.data(), 1000), 0);
}

TEST_F(LineAssembly, NoFreeBufferDropsTheFrame) {
  StartRun(1);
  Bytes stream = LineStream(1, LineFrame(1, true));
  Append(stream, LineStream(2, LineFrame(2, true)));
  Feed(stream);
  auto ready = Ready();
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]->header.frameNumber, 1u);
}

}  // namespace
}  // namespace lumo::camera
