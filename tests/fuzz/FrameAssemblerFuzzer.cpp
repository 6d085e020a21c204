// Runs the frame assembler twice over one camera stream built from the
// input (raw and line-packet header blocks, image blocks, packet words and
// raw bytes), fed through the StreamRing as the image reader feeds it. The
// first run appends whole blocks to a ring starting at 0 and drains after
// each; the second starts the ring at an offset from the input, so that
// frames wrap past its end, and appends and drains in transfers of sizes
// from the input. Both must queue the same frames, log the same and leave
// the same decoder state.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "StreamFuzzSupport.h"
#include "camera/FrameAssembler.h"
#include "camera/ImageReader.h"
#include "camera/LinePacketDecoder.h"
#include "camera/StreamBuilder.h"

namespace {

using lumo::camera::kStreamBlockSize;
using lumo::camera::kStreamRingSize;
using lumo::test::Bytes;
using lumo::test::Words;

constexpr std::size_t kMaxStreamBlocks = 32;
// Transfers of the chosen sizes; after them the rest of the stream goes in
// transfers of a block each, which keep the offsets the first ones made.
constexpr std::size_t kChosenTransfers = 256;

// How the second run moves the stream into the ring.
struct Feeding {
  std::uint32_t start = 0;                   // ringWritePos = ringReadPos before the run
  std::vector<std::uint32_t> transferSizes;  // used in turn, 1 to 4096 bytes each
  std::vector<std::uint8_t> drains;          // after each transfer, in turn: all, one pass, none
};

std::uint16_t Dimension(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint16_t>(0, 160)
                             : input.ConsumeIntegral<std::uint16_t>();
}

void AppendHeader(Bytes& stream, FuzzedDataProvider& input, std::uint32_t mode) {
  const std::uint16_t width = Dimension(input);
  const std::uint16_t height = Dimension(input);
  const std::uint32_t frame = input.ConsumeIntegralInRange<std::uint32_t>(0, 8);
  const std::uint32_t packcount = input.ConsumeBool() ? lumo::camera::kExpectedPackCount
                                                      : input.ConsumeIntegral<std::uint8_t>();
  lumo::test::Append(stream, lumo::test::HeaderBlock(width, height, frame, packcount, mode));
}

void AppendPacket(Words& words, std::uint16_t type, const Words& payload) {
  const Words packet = lumo::test::Packet(type, payload);
  words.insert(words.end(), packet.begin(), packet.end());
}

// A short line-packet frame: info and lines in either order, the lines of
// the lines-first order enough to complete the frame.
void AppendLineFrame(Bytes& stream, FuzzedDataProvider& input) {
  const std::uint32_t seed = input.ConsumeIntegral<std::uint16_t>();
  const bool infoFirst = input.ConsumeBool();
  const std::uint32_t lines =
      infoFirst ? input.ConsumeIntegralInRange<std::uint32_t>(1, 40) : lumo::camera::kLineHeight;
  const std::size_t lineWords = infoFirst ? input.ConsumeIntegralInRange<std::size_t>(0, 600) : 0;
  const Words info =
      lumo::test::InfoPayload(seed, input.ConsumeIntegralInRange<std::size_t>(0, 64));
  Words words;
  if (infoFirst) AppendPacket(words, lumo::camera::kPacketInfo, info);
  for (std::uint32_t line = 0; line < lines; ++line) {
    const std::uint16_t type = line == 0           ? lumo::camera::kPacketFirstLine
                               : line + 1 == lines ? lumo::camera::kPacketLastLine
                                                   : lumo::camera::kPacketLine;
    AppendPacket(words, type, lumo::test::LinePayload(seed, line, lineWords));
  }
  if (!infoFirst) AppendPacket(words, lumo::camera::kPacketInfo, info);
  lumo::test::Append(stream, lumo::test::ToBlocks(words));
}

Bytes MakeStream(FuzzedDataProvider& input) {
  Bytes stream;
  const int items = input.ConsumeIntegralInRange<int>(1, 16);
  for (int i = 0; i < items && stream.size() < kMaxStreamBlocks * kStreamBlockSize; ++i) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        AppendHeader(stream, input, 0);
        break;
      case 1:
        AppendHeader(stream, input, lumo::test::kLmcrMode);
        break;
      case 2:
        AppendHeader(stream, input, input.ConsumeIntegral<std::uint32_t>());
        break;
      case 3: {
        const std::uint32_t frame = input.ConsumeIntegral<std::uint8_t>();
        const std::uint32_t blocks = input.ConsumeIntegralInRange<std::uint32_t>(1, 13);
        for (std::uint32_t index = 0; index < blocks; ++index)
          lumo::test::Append(stream, lumo::test::ImageBlock(frame, index));
        break;
      }
      case 4: {
        // A block that starts with bytes from the input.
        Bytes block = lumo::test::ImageBlock(input.ConsumeIntegral<std::uint8_t>(), 0);
        const std::vector<std::uint8_t> bytes =
            input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 64));
        std::copy(bytes.begin(), bytes.end(), block.begin());
        lumo::test::Append(stream, block);
        break;
      }
      default:
        AppendLineFrame(stream, input);
        break;
    }
  }
  return stream;
}

Feeding MakeFeeding(FuzzedDataProvider& input, std::size_t streamSize) {
  Feeding feeding;
  switch (input.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      feeding.start = input.ConsumeIntegralInRange<std::uint32_t>(0, kStreamRingSize - 1);
      break;
    case 1:  // the ring's end falls somewhere in the stream
      feeding.start = kStreamRingSize - input.ConsumeIntegralInRange<std::uint32_t>(
                                            1, static_cast<std::uint32_t>(std::min<std::size_t>(
                                                   streamSize + 1, kStreamRingSize)));
      break;
    default:  // the ring's end falls in the first block
      feeding.start =
          kStreamRingSize - input.ConsumeIntegralInRange<std::uint32_t>(1, kStreamBlockSize);
      break;
  }
  const std::size_t sizes = input.ConsumeIntegralInRange<std::size_t>(1, 8);
  for (std::size_t i = 0; i < sizes; ++i)
    feeding.transferSizes.push_back(input.ConsumeBool()
                                        ? input.ConsumeIntegralInRange<std::uint32_t>(1, 16)
                                        : input.ConsumeIntegralInRange<std::uint32_t>(1, 4096));
  const std::size_t drains = input.ConsumeIntegralInRange<std::size_t>(1, 8);
  for (std::size_t i = 0; i < drains; ++i)
    feeding.drains.push_back(input.ConsumeIntegralInRange<std::uint8_t>(0, 2));
  return feeding;
}

std::uint32_t Unread(const lumo::camera::CameraState& state) {
  const std::uint32_t write = state.streamRing.ringWritePos;
  const std::uint32_t read = state.streamRing.ringReadPos;
  return write >= read ? write - read : kStreamRingSize - read + write;
}

void DrainAll(lumo::camera::FrameAssembler& assembler) {
  while (assembler.Pass()) {
  }
}

void Assemble(lumo::fuzz::StreamRun& run, const Bytes& stream, const Feeding& feeding) {
  lumo::fuzz::LogCapture capture(&run.log);
  lumo::camera::CameraState& state = run.state();
  lumo::camera::FrameAssembler& assembler = run.assembler();
  std::size_t transfer = 0;
  for (std::size_t at = 0; at < stream.size(); ++transfer) {
    const std::uint32_t size = transfer < kChosenTransfers
                                   ? feeding.transferSizes[transfer % feeding.transferSizes.size()]
                                   : kStreamBlockSize;
    const std::uint32_t length =
        static_cast<std::uint32_t>(std::min<std::size_t>(size, stream.size() - at));
    // Unread bytes never fill the ring: a full ring would read as empty.
    if (Unread(state) + length >= kStreamRingSize) DrainAll(assembler);
    state.streamRing.Append(stream.data() + at, length);
    at += length;
    switch (feeding.drains[transfer % feeding.drains.size()]) {
      case 0:
        DrainAll(assembler);
        break;
      case 1:
        assembler.Pass();
        break;
      default:
        break;
    }
  }
  DrainAll(assembler);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int buffers = input.ConsumeIntegralInRange(1, 4);
  const int pixelSize = input.ConsumeIntegralInRange(0, 16);
  const Bytes stream = MakeStream(input);
  const Feeding feeding = MakeFeeding(input, stream.size());

  Feeding blockwise;
  blockwise.transferSizes = {kStreamBlockSize};
  blockwise.drains = {0};
  static lumo::fuzz::StreamBuffers plainBuffers;
  static lumo::fuzz::StreamBuffers fedBuffers;
  lumo::fuzz::StreamRun plain(plainBuffers, buffers, pixelSize, blockwise.start);
  Assemble(plain, stream, blockwise);
  lumo::fuzz::StreamRun fed(fedBuffers, buffers, pixelSize, feeding.start);
  Assemble(fed, stream, feeding);
  lumo::fuzz::RequireSameOutcome(plain, fed, true);
  return 0;
}
