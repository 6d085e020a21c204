// The camera's own encoders for the image stream: the header block, the
// raw image pattern, and line-packet frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "StreamFaults.h"
#include "lumo/emulator/CameraStream.h"

namespace lumo::emulator {

struct HeaderFields {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t frameNumber = 0;
  std::uint32_t packCount = 0;
  std::uint16_t cacheCount = 0;
  std::uint16_t cacheUseCount = 0;
  std::uint32_t mode = 0;
};

// Writes a whole header block.
void WriteHeaderBlock(std::uint8_t* block, const HeaderFields& fields);

// The raw image pattern as whole blocks. Every data block of a raw image is
// a 4096-byte window of one table, at an offset that depends on the frame
// and the block, so a block costs one copy.
class RawPattern {
 public:
  RawPattern();
  // The 4096 bytes of image block `block` of frame `frameNumber`, as if the
  // image went on past its end.
  const std::uint8_t* Block(std::uint32_t frameNumber, std::uint32_t block) const;

 private:
  std::array<std::uint8_t, kStreamBlockSize + 256> table_;
};

// Builds the data blocks of line-packet frames. Keeps its buffer, so
// frames after the first allocate nothing.
class LineFrameBuilder {
 public:
  // Encodes frame `frameNumber`'s packets after `config`, drawing packet
  // faults from `faults` (anomalies counts those that hit) and filler sizes
  // from `fillerRandom`; pads to whole blocks.
  void Build(std::uint32_t frameNumber, const StreamConfig& config, StreamFaults& faults,
             std::mt19937& fillerRandom, std::uint64_t& anomalies);
  std::size_t Blocks() const { return words_.size() * 2 / kStreamBlockSize; }
  const std::uint8_t* Block(std::size_t index) const;

 private:
  void Put(std::uint16_t word) { words_.push_back(word); }
  void PutHeader(std::uint8_t type, std::uint32_t length, std::uint16_t syncB = kPacketSyncB);
  void PutFiller(std::uint32_t payloadWords);
  // A packet of the frame, through the packet faults.
  void PutPacket(std::uint8_t type, std::uint32_t frameNumber, std::uint32_t line,
                 StreamFaults& faults, std::uint64_t& anomalies);
  void PutPayload(std::uint8_t type, std::uint32_t frameNumber, std::uint32_t line);

  std::vector<std::uint16_t> words_;  // in the stream's byte order
};

}  // namespace lumo::emulator
