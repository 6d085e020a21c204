#include "FrameCodec.h"

#include <utility>

#include "Crc8.h"

namespace lumo::emulator::codec {

namespace {

std::uint8_t WidthCode(std::uint8_t addressBytes) {
  return static_cast<std::uint8_t>(addressBytes / 2 - 1);
}

void AppendEscaped(std::vector<std::uint8_t>& out, std::uint8_t byte) {
  if (byte == kFlag || byte == kEscape) {
    out.push_back(kEscape);
    out.push_back(static_cast<std::uint8_t>(byte ^ kEscapeXor));
  } else {
    out.push_back(byte);
  }
}

DecodeResult Problem(std::string text) { return DecodeResult{std::nullopt, std::move(text)}; }

}  // namespace

DecodeResult DecodeOne(const std::vector<std::uint8_t>& raw) {
  if (raw.empty()) return Problem("empty transfer");
  if (raw[0] != kFlag) return Problem("no flag at the start");

  // Undo the escaping of everything after the flag. A flag inside would
  // start another frame, which one transfer must not hold.
  std::vector<std::uint8_t> body;
  body.reserve(raw.size());
  for (std::size_t i = 1; i < raw.size(); ++i) {
    const std::uint8_t byte = raw[i];
    if (byte == kFlag) return Problem("flag inside the frame");
    if (byte != kEscape) {
      body.push_back(byte);
      continue;
    }
    if (i + 1 == raw.size()) return Problem("escape at the end");
    const auto restored = static_cast<std::uint8_t>(raw[++i] ^ kEscapeXor);
    if (restored != kFlag && restored != kEscape) return Problem("invalid escape sequence");
    body.push_back(restored);
  }

  if (body.size() < 2) return Problem("truncated header");
  DecodedFrame frame;
  frame.control = body[0];
  frame.check = (frame.control & kCheckBit) != 0;
  frame.addressBytes = static_cast<std::uint8_t>(2 * ((frame.control >> kWidthShift) & 3) + 2);
  frame.version = static_cast<std::uint8_t>((frame.control >> kVersionShift) & 3);
  frame.type = static_cast<FrameType>(frame.control >> kTypeShift);
  const std::size_t length = body[1];
  const std::size_t statusBytes = frame.type == FrameType::kWithStatus ? 1 : 0;
  const std::size_t expected =
      2 + frame.addressBytes + statusBytes + length + (frame.check ? 1 : 0);
  if (body.size() < expected) return Problem("truncated frame");
  if (body.size() > expected) return Problem("bytes after the frame");

  std::size_t at = 2;
  for (std::uint8_t i = 0; i < frame.addressBytes; ++i)
    frame.address = (frame.address << 8) | body[at++];
  if (statusBytes) frame.status = body[at++];
  frame.data.assign(body.begin() + static_cast<std::ptrdiff_t>(at),
                    body.begin() + static_cast<std::ptrdiff_t>(at + length));
  at += length;
  if (frame.check && Crc8(body.data(), at) != body[at]) return Problem("check byte mismatch");
  return DecodeResult{std::move(frame), {}};
}

std::vector<std::uint8_t> Encode(const CameraFrame& frame, std::uint8_t checkMask) {
  const std::uint8_t width = frame.addressBytes;
  const auto type = static_cast<unsigned>(frame.type);
  if ((width != 2 && width != 4 && width != 6 && width != 8) || frame.version > 3 || type > 3 ||
      frame.data.size() > kMaxFrameData)
    return {};

  std::vector<std::uint8_t> body;
  body.reserve(3 + width + frame.data.size());
  body.push_back(static_cast<std::uint8_t>((type << kTypeShift) | (frame.version << kVersionShift) |
                                           (WidthCode(width) << kWidthShift) |
                                           (frame.check ? kCheckBit : 0)));
  body.push_back(static_cast<std::uint8_t>(frame.data.size()));
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
    body.push_back(static_cast<std::uint8_t>(frame.address >> shift));
  if (frame.type == FrameType::kWithStatus) body.push_back(frame.status);
  body.insert(body.end(), frame.data.begin(), frame.data.end());
  if (frame.check)
    body.push_back(static_cast<std::uint8_t>(Crc8(body.data(), body.size()) ^ checkMask));

  std::vector<std::uint8_t> out;
  out.reserve(1 + body.size() * 2);
  out.push_back(kFlag);
  for (std::uint8_t byte : body) AppendEscaped(out, byte);
  return out;
}

}  // namespace lumo::emulator::codec
