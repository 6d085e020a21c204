#include "camera/LinePacketDecoder.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "camera/CameraState.h"

namespace lumo::camera {

namespace {

constexpr std::uint32_t kBlockWords = 2048;
constexpr std::uint32_t kInfoMessageCode = 1061;

enum DecoderState : std::uint32_t {
  kHunt = 0,
  kSync1 = 1,
  kSync2 = 2,
  kType = 3,
  kLengthHigh = 4,
  kLengthLow = 5,
  kPayload = 6,
  kPayloadContinues = 7,
};

std::uint16_t Word(const std::uint8_t* block, std::uint32_t index) {
  return static_cast<std::uint16_t>(block[2 * index] | (block[2 * index + 1] << 8));
}

void ResetDecoder(CameraState& state) {
  state.lineState = kHunt;
  state.packetLength = 0;
  state.packetType = 0;
  state.payloadTaken = 0;
}

FrameRecord& ScratchRecord(CameraState& state) {
  if (!state.lineScratch) state.lineScratch.reset(new FrameRecord);
  return *state.lineScratch;
}

// Copies words into the record at byte offset `offset`, keeping inside the
// 4 MiB record whatever the packets claim: lines that arrive before the
// info packet are not bounded by the frame height.
void CopyIntoRecord(FrameRecord& record, std::uint64_t offset, const std::uint8_t* words,
                    std::uint32_t count) {
  if (offset >= kFrameRecordSize) return;
  const std::uint64_t bytes = std::min<std::uint64_t>(2ull * count, kFrameRecordSize - offset);
  std::memcpy(record.Bytes() + offset, words, static_cast<std::size_t>(bytes));
}

// Byte offset in the record where the current line continues, or the end of
// the record when no image address is set.
std::uint64_t LineOffset(CameraState& state, FrameRecord& record, std::uint32_t wordsTaken) {
  const FrameRecordHeader& header = record.header;
  if (!header.imageAddress) return kFrameRecordSize;
  const std::uint64_t image = static_cast<std::uint64_t>(header.imageAddress - record.Bytes());
  return image + std::uint64_t{header.width} * state.lineCount + 2ull * wordsTaken;
}

void InitialiseRecord(FrameRecord& record, std::uint32_t frameNumber) {
  std::memset(&record.header, 0, sizeof(record.header));
  record.header.infoAddress = record.Bytes() + kFrameHeaderSize;
  record.header.frameNumber = frameNumber;
}

void PublishFrame(CameraState& state) {
  PublishLineFrame(state, *state.lineFrame);
  state.lineFrame = nullptr;
  state.infoSeen = false;
}

// The info payload is complete.
void FinishInfo(CameraState& state) {
  FrameRecord& record = *state.lineFrame;
  ApplyFrameInfo(record);
  record.header.imageAddress = record.header.infoAddress + kInfoAreaSize;
  if (state.lineCount >= record.header.height)
    PublishFrame(state);  // the lines came first
  else
    state.infoSeen = true;
}

// A line payload is complete.
void FinishLine(CameraState& state) {
  ++state.lineCount;
  if (state.packetType == kPacketLastLine && state.infoSeen) PublishFrame(state);
}

}  // namespace

void ApplyFrameInfo(FrameRecord& record) {
  FrameRecordHeader& header = record.header;
  const std::uint8_t* info = record.Bytes() + kFrameHeaderSize;
  header.width = kLineWidth;
  header.height = kLineHeight;
  header.depth = 8;
  header.format = 0;
  header.infoWord0 = Word(info, 0);
  header.infoWord6 = Word(info, 6);
  header.reserved28 = 0;
  header.reserved128 = 203;
  const std::uint32_t bytesPerPixel = header.depth < 9 ? 1 : 2;
  std::uint32_t imageBytes = header.width * header.height * bytesPerPixel;
  if (header.format == 5)
    imageBytes *= 3;
  else if (header.format == 6)
    imageBytes *= 2;
  header.imageBytes = imageBytes;
  header.bufferBytes = header.width * header.height * bytesPerPixel * (header.format == 0 ? 1 : 3);
  if (header.imageBytes >= 1) {
    std::uint8_t* word15 = record.Bytes() + kFrameHeaderSize + 30;
    word15[0] = 0x30;
    word15[1] = 0x00;
  }
}

void PublishLineFrame(CameraState& state, FrameRecord& record) {
  std::lock_guard<std::mutex> lock(state.frameLock);
  TraceLog("outframe:%p,%d\r\n", static_cast<void*>(&record),
           static_cast<int>(record.header.frameNumber));
  if (state.freeFrames.empty()) {
    TraceLog("lost frame:%d\r\n", static_cast<int>(record.header.frameNumber));
    return;
  }
  FrameRecord* buffer = state.freeFrames.front();
  state.freeFrames.pop_front();
  std::memcpy(buffer, &record, kFrameRecordSize);
  buffer->header.infoAddress = buffer->Bytes() + kFrameHeaderSize;
  buffer->header.imageAddress = buffer->header.infoAddress + kInfoAreaSize;
  state.readyFrames.push_back(buffer);
  state.frameReady = 1;
  state.frameCondition.notify_one();
}

void DecodeLinePackets(CameraState& state, const std::uint8_t* block, std::uint32_t frameNumber,
                       std::uint32_t blockCounter) {
  std::uint32_t p = 0;
  while (p < kBlockWords) {
    const std::uint32_t remaining = kBlockWords - p;
    switch (state.lineState) {
      case kHunt:
        if (Word(block, p++) == kSyncWordA) state.lineState = kSync1;
        break;
      case kSync1:
        state.lineState = Word(block, p++) == kSyncWordB ? kSync2 : kHunt;
        break;
      case kSync2:
        state.lineState = Word(block, p++) == kSyncWordA ? kType : kHunt;
        break;
      case kType:
        state.packetType = Word(block, p++) & 0xFF;
        if (!state.lineFrame && state.packetType != kPacketInfo &&
            state.packetType != kPacketFirstLine) {
          ++p;  // the word after the type goes with it
          ResetDecoder(state);
        } else {
          state.lineState = kLengthHigh;
        }
        break;
      case kLengthHigh:
        state.packetLength = std::uint32_t{Word(block, p++)} << 16;
        state.lineState = kLengthLow;
        break;
      case kLengthLow:
        state.packetLength += Word(block, p++);
        if (state.packetLength > kMaxPacketWords)
          ResetDecoder(state);
        else
          state.lineState = kPayload;
        break;
      case kPayload:
        switch (state.packetType) {
          case kPacketInfo: {
            ConsoleLog("[%d],%d\r\n", static_cast<int>(blockCounter),
                       static_cast<int>(kInfoMessageCode));
            if (!state.lineFrame) state.lineFrame = &ScratchRecord(state);
            FrameRecord& record = *state.lineFrame;
            InitialiseRecord(record, frameNumber);
            record.header.infoLength = state.packetLength;
            const std::uint32_t taken = std::min(state.packetLength, remaining);
            CopyIntoRecord(record, kFrameHeaderSize, block + 2 * p, taken);
            p += taken;
            if (taken == state.packetLength) {
              FinishInfo(state);
              ResetDecoder(state);
            } else {
              state.payloadTaken = taken;
              state.lineState = kPayloadContinues;
            }
            break;
          }
          case kPacketFirstLine:
          case kPacketLine:
          case kPacketLastLine: {
            if (state.packetType == kPacketFirstLine) {
              if (!state.lineFrame) {
                state.lineFrame = &ScratchRecord(state);
                FrameRecord& record = *state.lineFrame;
                InitialiseRecord(record, frameNumber);
                record.header.imageAddress = record.header.infoAddress + kInfoAreaSize;
                record.header.width = kLineWidth;
                record.header.height = kLineHeight;
                record.header.depth = 8;
              }
              state.lineCount = 0;
            }
            FrameRecord& record = *state.lineFrame;
            if (state.infoSeen && state.lineCount > record.header.height) {
              state.lineCount = 0;
              ResetDecoder(state);  // the hunt goes on from the payload's first word
              break;
            }
            const std::uint32_t taken = std::min(state.packetLength, remaining);
            CopyIntoRecord(record, LineOffset(state, record, 0), block + 2 * p, taken);
            p += taken;
            if (taken == state.packetLength) {
              FinishLine(state);
              ResetDecoder(state);
            } else {
              state.payloadTaken = taken;
              state.lineState = kPayloadContinues;
            }
            break;
          }
          case kPacketFiller:
            if (state.packetLength <= remaining) {
              p += state.packetLength;
              ResetDecoder(state);
            } else {
              state.payloadTaken = remaining;
              p = kBlockWords;
              state.lineState = kPayloadContinues;
            }
            break;
          default:
            ResetDecoder(state);
            break;
        }
        break;
      case kPayloadContinues: {
        if (!state.lineFrame) {
          ResetDecoder(state);
          break;
        }
        FrameRecord& record = *state.lineFrame;
        const std::uint32_t need = state.packetLength - state.payloadTaken;
        const std::uint32_t taken = std::min(need, remaining);
        switch (state.packetType) {
          case kPacketInfo:
            CopyIntoRecord(record, kFrameHeaderSize + 2ull * state.payloadTaken, block + 2 * p,
                           taken);
            break;
          case kPacketFirstLine:
          case kPacketLine:
          case kPacketLastLine:
            CopyIntoRecord(record, LineOffset(state, record, state.payloadTaken), block + 2 * p,
                           taken);
            break;
          case kPacketFiller:
            break;
          default:
            ResetDecoder(state);
            continue;
        }
        p += taken;
        if (taken < need) {
          state.payloadTaken += taken;
          break;
        }
        if (state.packetType == kPacketInfo)
          FinishInfo(state);
        else if (state.packetType != kPacketFiller)
          FinishLine(state);
        ResetDecoder(state);
        break;
      }
      default:
        ResetDecoder(state);
        break;
    }
  }
}

}  // namespace lumo::camera
