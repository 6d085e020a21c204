// The camera's side of the frame format: escaping, decoding the one frame
// an OUT transfer carries, and encoding the frames the camera sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lumo/emulator/CameraFirmware.h"

namespace lumo::emulator::codec {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::uint8_t kEscape = 0x7D;
constexpr std::uint8_t kEscapeXor = 0x20;  // 7E -> 7D 5E, 7D -> 7D 5D

// Control byte fields.
constexpr std::uint8_t kCheckBit = 0x01;
constexpr int kWidthShift = 1;
constexpr int kVersionShift = 3;
constexpr int kTypeShift = 5;

// A frame decoded from the host's bytes.
struct DecodedFrame {
  std::uint8_t control = 0;
  FrameType type = FrameType::kRegisterWrite;
  std::uint8_t version = 0;
  bool check = false;
  std::uint8_t addressBytes = 4;
  std::uint64_t address = 0;
  std::optional<std::uint8_t> status;
  std::vector<std::uint8_t> data;
};

struct DecodeResult {
  std::optional<DecodedFrame> frame;
  std::string problem;  // set when frame is not
};

// Decodes `raw`, which must hold exactly one frame: flag, escaped body, and
// nothing after it. The check byte is verified when the control byte asks
// for one; the version is reported, not judged.
DecodeResult DecodeOne(const std::vector<std::uint8_t>& raw);

// Encodes `frame`; its check byte is XORed with `checkMask` (non-zero
// masks make a wrong one). Empty if the frame cannot be encoded.
std::vector<std::uint8_t> Encode(const CameraFrame& frame, std::uint8_t checkMask = 0);

}  // namespace lumo::emulator::codec
