// Decodes line-packet frames built from the input twice through the frame
// assembler: once with each frame's packet words starting right after its
// header block, and once behind k zero words (k from the input), which the
// decoder's hunt skips. The packets then cross block ends at other words,
// and both runs must queue the same frames and end in the same state.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "StreamFuzzSupport.h"
#include "camera/FrameAssembler.h"
#include "camera/LinePacketDecoder.h"
#include "camera/StreamBuilder.h"

namespace {

using lumo::test::Bytes;
using lumo::test::Words;

constexpr std::size_t kBlockWords = lumo::camera::kStreamBlockSize / 2;
constexpr std::size_t kMaxSegmentWords = 8 * kBlockWords;
constexpr std::uint32_t kLongestPayload = 10000;

// One frame: its header block's fields and the packet words after it.
struct Segment {
  std::uint16_t width = 1000;
  std::uint16_t height = 1000;
  std::uint32_t frameNumber = 0;
  std::uint32_t shift = 0;  // zero words put in front in the shifted run, below a block
  Words words;
  std::size_t tail = 0;  // zero words behind, enough to end any packet
};

std::uint32_t PayloadLength(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return input.ConsumeIntegralInRange<std::uint32_t>(0, 16);
    case 1:
      return input.ConsumeIntegralInRange<std::uint32_t>(0, 600);
    case 2:
      return input.ConsumeIntegralInRange<std::uint32_t>(0, kLongestPayload);
    default:
      return input.ConsumeIntegralInRange<std::uint32_t>(kLongestPayload - 8, kLongestPayload + 1);
  }
}

void PutHeader(Words& words, std::uint16_t type, std::uint32_t length) {
  const Words header = {lumo::camera::kSyncWordA,
                        lumo::camera::kSyncWordB,
                        lumo::camera::kSyncWordA,
                        type,
                        static_cast<std::uint16_t>(length >> 16),
                        static_cast<std::uint16_t>(length)};
  words.insert(words.end(), header.begin(), header.end());
}

// Payload words that tell their packet and place apart.
void PutPayload(Words& words, std::uint32_t length, std::uint16_t seed) {
  const std::size_t at = words.size();
  words.resize(at + length);
  for (std::uint32_t j = 0; j < length; ++j)
    words[at + j] = static_cast<std::uint16_t>(seed * 977u + j * 13u);
}

void PutPacket(Words& words, std::uint16_t type, std::uint32_t length, std::uint16_t seed) {
  PutHeader(words, type, length);
  PutPayload(words, length, seed);
}

// Packets from the input: mostly well-formed ones of chosen types and
// lengths, runs of short lines enough for a whole frame, and raw or
// malformed words for the decoder's error paths.
Words MakePackets(FuzzedDataProvider& input) {
  Words words;
  const int operations = input.ConsumeIntegralInRange<int>(0, 24);
  for (int i = 0; i < operations && words.size() < kMaxSegmentWords; ++i) {
    const std::uint16_t seed = input.ConsumeIntegral<std::uint16_t>();
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        PutPacket(words, lumo::camera::kPacketInfo, PayloadLength(input), seed);
        break;
      case 1:
        PutPacket(words, lumo::camera::kPacketFirstLine, PayloadLength(input), seed);
        break;
      case 2:
        PutPacket(words, lumo::camera::kPacketLine, PayloadLength(input), seed);
        break;
      case 3:
        PutPacket(words, lumo::camera::kPacketLastLine, PayloadLength(input), seed);
        break;
      case 4:
        PutPacket(words, lumo::camera::kPacketFiller, PayloadLength(input), seed);
        break;
      case 5: {
        // Up to a frame's worth of short lines, first and last as chosen.
        const std::uint32_t lines = input.ConsumeIntegralInRange<std::uint32_t>(1, 1100);
        const std::uint32_t length = input.ConsumeIntegralInRange<std::uint32_t>(0, 3);
        const bool first = input.ConsumeBool();
        const bool last = input.ConsumeBool();
        for (std::uint32_t line = 0; line < lines; ++line) {
          std::uint16_t type = lumo::camera::kPacketLine;
          if (line == 0 && first) type = lumo::camera::kPacketFirstLine;
          if (line + 1 == lines && last) type = lumo::camera::kPacketLastLine;
          PutPacket(words, type, length, static_cast<std::uint16_t>(seed + line));
        }
        break;
      }
      case 6: {
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 64);
        for (std::size_t j = 0; j < count; ++j)
          words.push_back(input.ConsumeIntegral<std::uint16_t>());
        break;
      }
      default: {
        // A packet behind no, part of, the whole or a doubled sync, with any
        // type and length words; at most a short payload follows whatever
        // the length claims.
        constexpr std::uint16_t kA = lumo::camera::kSyncWordA;
        constexpr std::uint16_t kB = lumo::camera::kSyncWordB;
        static const Words kPrefixes[5] = {{}, {kA}, {kA, kB}, {kA, kB, kA}, {kA, kA, kB, kA}};
        const Words& prefix = kPrefixes[input.ConsumeIntegralInRange<int>(0, 4)];
        words.insert(words.end(), prefix.begin(), prefix.end());
        words.push_back(input.ConsumeIntegral<std::uint16_t>());
        const std::uint16_t high = input.ConsumeIntegral<std::uint16_t>();
        const std::uint16_t low = input.ConsumeIntegral<std::uint16_t>();
        words.push_back(high);
        words.push_back(low);
        PutPayload(words, std::min<std::uint32_t>(low, input.ConsumeIntegralInRange(0u, 256u)),
                   seed);
        break;
      }
    }
  }
  return words;
}

// The most payload words a packet can still be owed when `words` end: every
// packet the decoder takes starts at a sync in the words, and announces at
// most kLongestPayload. A header cut off by the end reads zeros from there on
// and so announces nothing or too much.
std::size_t PayloadOwedAtEnd(const Words& words) {
  std::size_t owed = 0;
  for (std::size_t i = 0; i + 5 < words.size(); ++i) {
    if (words[i] != lumo::camera::kSyncWordA || words[i + 1] != lumo::camera::kSyncWordB ||
        words[i + 2] != lumo::camera::kSyncWordA)
      continue;
    const std::uint32_t length = (std::uint32_t{words[i + 4]} << 16) + words[i + 5];
    if (length <= kLongestPayload && i + 6 + length > words.size())
      owed = std::max(owed, i + 6 + length - words.size());
  }
  return owed;
}

// Whether the words hold the five magic words of a header block, which the
// assembler takes as a new frame wherever a block starts with them.
bool HoldsHeaderMagic(const Words& words) {
  const Bytes header = lumo::test::HeaderBlock(0, 0, 0);
  Words magic(10);
  for (std::size_t i = 0; i < magic.size(); ++i)
    magic[i] = static_cast<std::uint16_t>(header[2 * i] | (header[2 * i + 1] << 8));
  return std::search(words.begin(), words.end(), magic.begin(), magic.end()) != words.end();
}

// The segment's stream bytes behind `shift` zero words, zero-padded to
// whole blocks. Words go in as they lie in memory: stream order is
// little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are copied as stream bytes");
Bytes SegmentBlocks(const Segment& segment, std::size_t shift) {
  const std::size_t words = shift + segment.words.size() + segment.tail;
  const std::size_t blocks =
      (2 * words + lumo::camera::kStreamBlockSize - 1) / lumo::camera::kStreamBlockSize;
  Bytes bytes(blocks * lumo::camera::kStreamBlockSize, 0);
  if (!segment.words.empty())
    std::memcpy(bytes.data() + 2 * shift, segment.words.data(), 2 * segment.words.size());
  return bytes;
}

void Decode(lumo::fuzz::StreamRun& run, const std::vector<Segment>& segments, bool shifted) {
  for (const Segment& segment : segments) {
    const Bytes header = lumo::test::HeaderBlock(segment.width, segment.height, segment.frameNumber,
                                                 305, lumo::test::kLmcrMode);
    run.assembler().ProcessBlock(header.data());
    const Bytes blocks = SegmentBlocks(segment, shifted ? segment.shift : 0);
    for (std::size_t at = 0; at < blocks.size(); at += lumo::camera::kStreamBlockSize)
      run.assembler().ProcessBlock(blocks.data() + at);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int buffers = input.ConsumeIntegralInRange(1, 3);
  std::vector<Segment> segments(input.ConsumeIntegralInRange<std::size_t>(1, 3));
  for (Segment& segment : segments) {
    segment.width = input.ConsumeIntegral<std::uint16_t>();
    segment.height = input.ConsumeIntegral<std::uint16_t>();
    segment.frameNumber = input.ConsumeIntegral<std::uint32_t>();
    segment.shift = input.ConsumeIntegralInRange<std::uint32_t>(0, kBlockWords - 1);
    segment.words = MakePackets(input);
    // Block starts that fall on header magic would open frames in one run
    // and not in the other: such streams say nothing about the decoder.
    if (HoldsHeaderMagic(segment.words)) return 0;
    // Zeros enough to end whatever packet is open, whatever the shift: both
    // runs then finish every packet the words hold.
    segment.tail = PayloadOwedAtEnd(segment.words) + 16;
  }

  static lumo::fuzz::StreamBuffers plainBuffers;
  static lumo::fuzz::StreamBuffers shiftedBuffers;
  lumo::fuzz::LogCapture quiet(nullptr);  // the log names block counters, which shift
  lumo::fuzz::StreamRun plain(plainBuffers, buffers, 1);
  Decode(plain, segments, false);
  lumo::fuzz::StreamRun shifted(shiftedBuffers, buffers, 1);
  Decode(shifted, segments, true);
  lumo::fuzz::RequireSameOutcome(plain, shifted, false);
  return 0;
}
