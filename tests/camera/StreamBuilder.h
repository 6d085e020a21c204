// Builds camera stream bytes for assembler tests, independently of the
// library and of the emulator: header blocks, raw image blocks and
// line-packet word streams.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace lumo::test {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

constexpr std::uint32_t kLmcrMode = 0x52434D4C;

inline void Put32(Bytes& block, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void Put16(Bytes& block, std::size_t offset, std::uint16_t value) {
  block[offset] = static_cast<std::uint8_t>(value);
  block[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline Bytes HeaderBlock(std::uint16_t width, std::uint16_t height, std::uint32_t frame,
                         std::uint32_t packcount = 305, std::uint32_t mode = 0) {
  Bytes block(4096, 0);
  const std::uint32_t magic[5] = {0x803C4953, 0x93498218, 0x05897F8D, 0x9AB38089, 0x0100A000};
  for (int i = 0; i < 5; ++i) Put32(block, 4 * i, magic[i]);
  Put16(block, 24, width);
  Put16(block, 26, height);
  Put32(block, 28, frame);
  Put32(block, 32, packcount);
  Put16(block, 40, 3);
  Put16(block, 42, 1);
  Put32(block, 44, mode);
  return block;
}

// A raw image block whose bytes tell the frame and their place in it.
inline Bytes ImageBlock(std::uint32_t frame, std::uint32_t index) {
  Bytes block(4096);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(frame * 31 + index * 7 + i);
  return block;
}

// A line packet: sync, type, 32-bit length, payload.
inline Words Packet(std::uint16_t type, const Words& payload) {
  Words words = {0xC53A,
                 0xA35C,
                 0xC53A,
                 type,
                 static_cast<std::uint16_t>(payload.size() >> 16),
                 static_cast<std::uint16_t>(payload.size())};
  words.insert(words.end(), payload.begin(), payload.end());
  return words;
}

inline Words LinePayload(std::uint32_t frame, std::uint32_t line, std::size_t words = 500) {
  Words payload(words);
  for (std::size_t j = 0; j < words; ++j)
    payload[j] = static_cast<std::uint16_t>(frame * 977 + line * 13 + j);
  return payload;
}

inline Words InfoPayload(std::uint32_t frame, std::size_t words = 32) {
  Words payload(words);
  for (std::size_t j = 0; j < words; ++j)
    payload[j] = static_cast<std::uint16_t>(0x1000 + frame + j);
  return payload;
}

// The packets of one 1000-line frame, the info packet first or last.
inline Words LineFrame(std::uint32_t frame, bool infoFirst) {
  Words words;
  const Words info = Packet(1, InfoPayload(frame));
  if (infoFirst) words.insert(words.end(), info.begin(), info.end());
  for (std::uint32_t line = 0; line < 1000; ++line) {
    const std::uint16_t type = line == 0 ? 2 : (line == 999 ? 4 : 3);
    const Words packet = Packet(type, LinePayload(frame, line));
    words.insert(words.end(), packet.begin(), packet.end());
  }
  if (!infoFirst) words.insert(words.end(), info.begin(), info.end());
  return words;
}

// Words as stream bytes, padded with zeros to whole 4096-byte blocks.
inline Bytes ToBlocks(const Words& words) {
  Bytes bytes(((words.size() * 2 + 4095) / 4096) * 4096, 0);
  for (std::size_t i = 0; i < words.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(words[i]);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
  }
  return bytes;
}

inline void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

}  // namespace lumo::test
