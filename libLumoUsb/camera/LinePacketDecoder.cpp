#include "camera/LinePacketDecoder.h"

#include <algorithm>
#include <cstring>

#include "Log.h"
#include "camera/FrameHandOut.h"

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

// Copies words into the record at byte offset `offset`, keeping inside the
// 4 MiB record whatever the packets claim: lines that arrive before the
// info packet are not bounded by the frame height.
void CopyIntoRecord(FrameRecord& record, std::uint64_t offset, const std::uint8_t* words,
                    std::uint32_t count) {
  if (offset >= kFrameRecordSize) return;
  const std::uint64_t bytes = std::min<std::uint64_t>(2ull * count, kFrameRecordSize - offset);
  std::memcpy(record.Bytes() + offset, words, static_cast<std::size_t>(bytes));
}

void InitialiseRecord(FrameRecord& record, std::uint32_t frameNumber) {
  std::memset(&record.header, 0, sizeof(record.header));
  record.header.infoAddress = record.Bytes() + kFrameHeaderSize;
  record.header.frameNumber = frameNumber;
}

bool IsLine(std::uint16_t type) {
  return type == kPacketFirstLine || type == kPacketLine || type == kPacketLastLine;
}

}  // namespace

// The words of one block and the decoder's place among them.
struct LinePacketDecoder::Cursor {
  const std::uint8_t* block;
  std::uint32_t p = 0;

  bool AtEnd() const { return p >= kBlockWords; }
  std::uint32_t Remaining() const { return kBlockWords - p; }
  std::uint16_t Next() { return Word(block, p++); }
  const std::uint8_t* Here() const { return block + 2 * p; }
};

void LinePacketDecoder::ResetPacket() {
  lineState = kHunt;
  packetLength = 0;
  packetType = 0;
  payloadTaken = 0;
}

void LinePacketDecoder::Reset() {
  ResetPacket();
  skipNextWord_ = false;
  lineCount = 0;
  lineFrame = nullptr;
  infoSeen = false;
}

void LinePacketDecoder::OnSyncWord(Cursor& words) {
  const std::uint16_t word = words.Next();
  if (lineState == kHunt)
    lineState = word == kSyncWordA ? kSync1 : kHunt;
  else if (lineState == kSync1)
    lineState = word == kSyncWordB ? kSync2 : kHunt;
  else
    lineState = word == kSyncWordA ? kType : kHunt;
}

void LinePacketDecoder::OnType(Cursor& words) {
  packetType = words.Next() & 0xFF;
  if (!lineFrame && packetType != kPacketInfo && packetType != kPacketFirstLine) {
    // The word after the type goes with it, also when it is the first word
    // of the next block.
    if (words.AtEnd())
      skipNextWord_ = true;
    else
      ++words.p;
    ResetPacket();
  } else {
    lineState = kLengthHigh;
  }
}

void LinePacketDecoder::OnLength(Cursor& words) {
  if (lineState == kLengthHigh) {
    packetLength = std::uint32_t{words.Next()} << 16;
    lineState = kLengthLow;
    return;
  }
  packetLength += words.Next();
  if (packetLength > kMaxPacketWords)
    ResetPacket();
  else
    lineState = kPayload;
}

FrameRecord& LinePacketDecoder::BeginFrame(std::uint32_t frameNumber) {
  if (!lineScratch) lineScratch = MakeRecord();
  if (!lineFrame) lineFrame = lineScratch.get();
  InitialiseRecord(*lineFrame, frameNumber);
  return *lineFrame;
}

void LinePacketDecoder::StartPayload(Cursor& words, std::uint32_t frameNumber,
                                     std::uint32_t blockCounter, FrameHandOut& frames) {
  if (packetType == kPacketInfo) {
    ConsoleLog("[%d],%d\r\n", static_cast<int>(blockCounter), static_cast<int>(kInfoMessageCode));
    BeginFrame(frameNumber).header.infoLength = packetLength;
  } else if (IsLine(packetType)) {
    if (packetType == kPacketFirstLine) {
      if (!lineFrame) {
        FrameRecordHeader& header = BeginFrame(frameNumber).header;
        header.imageAddress = header.infoAddress + kInfoAreaSize;
        header.width = kLineWidth;
        header.height = kLineHeight;
        header.depth = 8;
      }
      lineCount = 0;
    }
    if (!lineFrame || (infoSeen && lineCount > lineFrame->header.height)) {
      lineCount = 0;
      ResetPacket();  // the hunt goes on from the payload's first word
      return;
    }
  } else if (packetType != kPacketFiller) {
    ResetPacket();
    return;
  }
  payloadTaken = 0;
  TakePayload(words, frames);
}

// Byte offset in the record where the current line continues, or the end of
// the record when no image address is set.
std::uint64_t LinePacketDecoder::LineOffset(std::uint32_t wordsTaken) const {
  const FrameRecordHeader& header = lineFrame->header;
  if (!header.imageAddress) return kFrameRecordSize;
  const std::uint64_t image = static_cast<std::uint64_t>(header.imageAddress - lineFrame->Bytes());
  return image + std::uint64_t{header.width} * lineCount + 2ull * wordsTaken;
}

// Takes as much of the current payload as the block holds, from wherever
// the packet began, and finishes the packet once it is whole.
void LinePacketDecoder::TakePayload(Cursor& words, FrameHandOut& frames) {
  const std::uint32_t need = packetLength - payloadTaken;
  const std::uint32_t taken = std::min(need, words.Remaining());
  if (packetType == kPacketInfo)
    CopyIntoRecord(*lineFrame, kFrameHeaderSize + 2ull * payloadTaken, words.Here(), taken);
  else if (IsLine(packetType))
    CopyIntoRecord(*lineFrame, LineOffset(payloadTaken), words.Here(), taken);
  words.p += taken;
  if (taken < need) {
    payloadTaken += taken;
    lineState = kPayloadContinues;
    return;
  }
  if (packetType == kPacketInfo)
    FinishInfo(frames);
  else if (packetType != kPacketFiller)
    FinishLine(frames);
  ResetPacket();
}

void LinePacketDecoder::Publish(FrameHandOut& frames) {
  FrameFacts& facts = FactsOf(*lineScratch);
  facts.sequence = frameSequence;
  facts.timestampNs = frameTimestampNs;
  facts.completedNs = SteadyNowNs();
  facts.imageBytes = std::uint64_t{lineScratch->header.width} * lineScratch->header.height;
  facts.width = lineScratch->header.width;
  facts.height = lineScratch->header.height;
  if (PublishLineFrame(frames, lineScratch))
    ++framesQueued;
  else
    ++framesLost;
  lineFrame = nullptr;
  infoSeen = false;
}

// The info payload is complete.
void LinePacketDecoder::FinishInfo(FrameHandOut& frames) {
  FrameRecord& record = *lineFrame;
  ApplyFrameInfo(record);
  record.header.imageAddress = record.header.infoAddress + kInfoAreaSize;
  if (lineCount >= record.header.height)
    Publish(frames);  // the lines came first
  else
    infoSeen = true;
}

// A line payload is complete.
void LinePacketDecoder::FinishLine(FrameHandOut& frames) {
  ++lineCount;
  if (packetType == kPacketLastLine && infoSeen) Publish(frames);
}

void LinePacketDecoder::Decode(const std::uint8_t* block, std::uint32_t frameNumber,
                               std::uint32_t blockCounter, FrameHandOut& frames) {
  Cursor words{block};
  if (skipNextWord_) {
    skipNextWord_ = false;
    ++words.p;
  }
  while (!words.AtEnd()) {
    switch (lineState) {
      case kHunt:
      case kSync1:
      case kSync2:
        OnSyncWord(words);
        break;
      case kType:
        OnType(words);
        break;
      case kLengthHigh:
      case kLengthLow:
        OnLength(words);
        break;
      case kPayload:
        StartPayload(words, frameNumber, blockCounter, frames);
        break;
      case kPayloadContinues:
        if (lineFrame)
          TakePayload(words, frames);
        else
          ResetPacket();
        break;
      default:
        ResetPacket();
        break;
    }
  }
}

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
  // Eight-bit monochrome lines: image and buffer are one byte a pixel.
  header.imageBytes = kLineWidth * kLineHeight;
  header.bufferBytes = header.imageBytes;
  std::uint8_t* word15 = record.Bytes() + kFrameHeaderSize + 30;
  word15[0] = 0x30;
  word15[1] = 0x00;
}

bool PublishLineFrame(FrameHandOut& frames, RecordPtr& record) {
  FrameRecord* const filled = record.get();
  FrameRecordHeader& header = filled->header;
  TraceLog("outframe:%p,%d\r\n", static_cast<void*>(filled), static_cast<int>(header.frameNumber));
  header.infoAddress = filled->Bytes() + kFrameHeaderSize;
  header.imageAddress = header.infoAddress + kInfoAreaSize;
  const std::uint32_t frameNumber = header.frameNumber;
  // The record itself is handed over; a free pool buffer becomes the next
  // scratch record. Without a free buffer the frame is lost and the record
  // stays the scratch.
  record = frames.Exchange(std::move(record));
  if (record.get() != filled) return true;
  TraceLog("lost frame:%d\r\n", static_cast<int>(frameNumber));
  return false;
}

}  // namespace lumo::camera
