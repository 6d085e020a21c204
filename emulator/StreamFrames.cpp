#include "StreamFrames.h"

#include <cstring>

namespace lumo::emulator {

namespace {

constexpr std::uint16_t kBrokenSyncB = kPacketSyncB ^ 0x0001;
constexpr std::uint8_t kDefaultUnknownType = 0x55;
constexpr std::uint8_t kDefaultEmptyType = static_cast<std::uint8_t>(PacketType::kLine);
constexpr std::uint32_t kUnknownPacketWords = 8;

void PutLe16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool LittleEndianHost() {
  const std::uint16_t probe = 1;
  std::uint8_t first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

}  // namespace

std::uint8_t RawImageByte(std::uint32_t frameNumber, std::uint32_t offset) {
  const std::uint32_t block = offset / kStreamBlockSize;
  const std::uint32_t shift = (7u * frameNumber + 13u * block) & 0xFFu;
  const std::uint32_t x = offset % kStreamBlockSize + shift;
  return static_cast<std::uint8_t>(x + x / 256);
}

std::uint16_t LineWord(std::uint32_t frameNumber, std::uint32_t line, std::uint32_t word) {
  return static_cast<std::uint16_t>((131u * frameNumber + 17u * line + 3u * word) & 0x7FFFu);
}

std::uint16_t InfoWord(std::uint32_t frameNumber, std::uint32_t word) {
  return static_cast<std::uint16_t>((frameNumber + 257u * word) & 0x7FFFu);
}

void WriteHeaderBlock(std::uint8_t* block, const HeaderFields& fields) {
  std::memset(block, 0, kStreamBlockSize);
  for (std::size_t i = 0; i < 5; ++i) PutLe32(block + 4 * i, kFrameMagic[i]);
  PutLe16(block + 24, fields.width);
  PutLe16(block + 26, fields.height);
  PutLe32(block + 28, fields.frameNumber);
  PutLe32(block + 32, fields.packCount);
  PutLe16(block + 40, fields.cacheCount);
  PutLe16(block + 42, fields.cacheUseCount);
  PutLe32(block + 44, fields.mode);
}

RawPattern::RawPattern() {
  for (std::uint32_t x = 0; x < table_.size(); ++x)
    table_[x] = static_cast<std::uint8_t>(x + x / 256);
}

const std::uint8_t* RawPattern::Block(std::uint32_t frameNumber, std::uint32_t block) const {
  return table_.data() + ((7u * frameNumber + 13u * block) & 0xFFu);
}

void LineFrameBuilder::PutHeader(std::uint8_t type, std::uint32_t length, std::uint16_t syncB) {
  Put(kPacketSyncA);
  Put(syncB);
  Put(kPacketSyncA);
  Put(type);
  Put(static_cast<std::uint16_t>(length >> 16));
  Put(static_cast<std::uint16_t>(length));
}

void LineFrameBuilder::PutFiller(std::uint32_t payloadWords) {
  PutHeader(static_cast<std::uint8_t>(PacketType::kFiller), payloadWords);
  words_.insert(words_.end(), payloadWords, 0);
}

void LineFrameBuilder::PutPayload(std::uint8_t type, std::uint32_t frameNumber,
                                  std::uint32_t line) {
  if (type == static_cast<std::uint8_t>(PacketType::kFrameInfo)) {
    for (std::uint32_t k = 0; k < kInfoWords; ++k) Put(InfoWord(frameNumber, k));
    return;
  }
  const std::size_t at = words_.size();
  words_.resize(at + kLineWords);
  std::uint16_t* out = words_.data() + at;
  const std::uint32_t base = 131u * frameNumber + 17u * line;
  for (std::uint32_t j = 0; j < kLineWords; ++j)
    out[j] = static_cast<std::uint16_t>((base + 3u * j) & 0x7FFFu);
}

void LineFrameBuilder::PutPacket(std::uint8_t type, std::uint32_t frameNumber, std::uint32_t line,
                                 StreamFaults& faults, std::uint64_t& anomalies) {
  const std::uint32_t payload =
      type == static_cast<std::uint8_t>(PacketType::kFrameInfo) ? kInfoWords : kLineWords;
  std::uint32_t length = payload;
  std::uint16_t syncB = kPacketSyncB;
  if (faults.Any()) {
    if (auto fault = faults.Draw(StreamFaultKind::kUnknownType)) {
      PutHeader(fault->packetType.value_or(kDefaultUnknownType), kUnknownPacketWords);
      for (std::uint32_t k = 0; k < kUnknownPacketWords; ++k) Put(static_cast<std::uint16_t>(k));
      ++anomalies;
    }
    if (auto fault = faults.Draw(StreamFaultKind::kEmptyPacket)) {
      PutHeader(fault->packetType.value_or(kDefaultEmptyType), 0);
      ++anomalies;
    }
    if (faults.Draw(StreamFaultKind::kDoubledSync)) {
      Put(kPacketSyncA);
      ++anomalies;
    }
    if (faults.Draw(StreamFaultKind::kBrokenSync)) {
      syncB = kBrokenSyncB;
      ++anomalies;
    }
    if (auto fault = faults.Draw(StreamFaultKind::kOverlongLength)) {
      length = fault->length;
      ++anomalies;
    }
  }
  PutHeader(type, length, syncB);
  PutPayload(type, frameNumber, line);
}

void LineFrameBuilder::Build(std::uint32_t frameNumber, const StreamConfig& config,
                             StreamFaults& faults, std::mt19937& fillerRandom,
                             std::uint64_t& anomalies) {
  words_.clear();
  if (faults.Any() && faults.Draw(StreamFaultKind::kEarlyLine)) {
    PutHeader(static_cast<std::uint8_t>(PacketType::kLine), kLineWords);
    PutPayload(static_cast<std::uint8_t>(PacketType::kLine), frameNumber, 1);
    ++anomalies;
  }
  const bool fillers = config.fillers == Fillers::kBetweenPackets;
  bool first = true;
  auto packet = [&](std::uint8_t type, std::uint32_t line) {
    // Plain modulo of the generator's output: distributions differ between
    // standard libraries, and runs should repeat everywhere.
    if (fillers && !first) PutFiller(fillerRandom() % (config.maxFillerWords + 1));
    first = false;
    PutPacket(type, frameNumber, line, faults, anomalies);
  };
  const auto info = static_cast<std::uint8_t>(PacketType::kFrameInfo);
  if (config.lineOrder == LineOrder::kInfoFirst) packet(info, 0);
  for (std::uint32_t line = 0; line < kLinesPerFrame; ++line) {
    const PacketType type = line == 0                    ? PacketType::kFirstLine
                            : line + 1 == kLinesPerFrame ? PacketType::kLastLine
                                                         : PacketType::kLine;
    packet(static_cast<std::uint8_t>(type), line);
  }
  if (config.lineOrder == LineOrder::kLinesFirst) packet(info, 0);

  // Pad to a whole block.
  constexpr std::size_t kBlockWords = kStreamBlockSize / 2;
  const std::size_t rest = (kBlockWords - words_.size() % kBlockWords) % kBlockWords;
  if (config.padding == FramePadding::kFiller && rest >= kPacketHeaderWords) {
    PutFiller(static_cast<std::uint32_t>(rest - kPacketHeaderWords));
  } else {
    words_.insert(words_.end(), rest, 0);
  }
  if (!LittleEndianHost())
    for (auto& word : words_) word = static_cast<std::uint16_t>((word >> 8) | (word << 8));
}

const std::uint8_t* LineFrameBuilder::Block(std::size_t index) const {
  return reinterpret_cast<const std::uint8_t*>(words_.data()) + index * kStreamBlockSize;
}

}  // namespace lumo::emulator
