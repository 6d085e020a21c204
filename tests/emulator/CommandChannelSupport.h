// The host's side of the command channel, written for the tests alone: a
// bit-by-bit CRC, a frame encoder and a stream decoder that share nothing
// with the firmware's table-driven code, and the vendor control transfers
// that carry frames, built byte by byte.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "EmulatorTestSupport.h"
#include "lumo/emulator/CameraFirmware.h"

namespace lumo::test {

using Bytes = std::vector<std::uint8_t>;

inline std::uint8_t BitwiseCrc(const Bytes& bytes, std::size_t count) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
  }
  return crc;
}

// A host frame with a 4-byte address: flag, then the escaped control byte,
// length, address, data and (if the control byte's bit 0 is set) check
// byte. `checkXor` spoils the check byte.
inline Bytes HostFrame(std::uint8_t control, std::uint32_t address, const Bytes& data,
                       std::uint8_t checkXor = 0) {
  Bytes body{control,
             static_cast<std::uint8_t>(data.size()),
             static_cast<std::uint8_t>(address >> 24),
             static_cast<std::uint8_t>(address >> 16),
             static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address)};
  body.insert(body.end(), data.begin(), data.end());
  if (control & 1)
    body.push_back(static_cast<std::uint8_t>(BitwiseCrc(body, body.size()) ^ checkXor));
  Bytes out{0x7E};
  for (std::uint8_t b : body) {
    if (b == 0x7E || b == 0x7D) {
      out.push_back(0x7D);
      out.push_back(static_cast<std::uint8_t>(b ^ 0x20));
    } else {
      out.push_back(b);
    }
  }
  return out;
}
inline Bytes ReadFrame(std::uint32_t address) { return HostFrame(0x43, address, {}); }
inline Bytes WriteFrame(std::uint32_t address, const Bytes& data) {
  return HostFrame(0x03, address, data);
}
inline Bytes BufferFrame(const Bytes& payload) {
  Bytes field{static_cast<std::uint8_t>(payload.size()), 0};
  field.insert(field.end(), payload.begin(), payload.end());
  return HostFrame(0x22, 0x5AA555AA, field);
}

// A frame as the host reads it from the stream.
struct WireFrame {
  std::uint8_t control = 0;
  int type = 0;
  int version = 0;
  bool hasCheck = false;
  bool checkOk = true;  // true when the frame has no check byte
  std::size_t addressBytes = 0;
  std::uint64_t address = 0;
  std::optional<std::uint8_t> status;
  Bytes data;
  std::size_t strayBefore = 0;  // bytes skipped before its flag
};

// Reassembles frames from IN transfer data however it was cut.
class StreamDecoder {
 public:
  void Feed(const Bytes& bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    while (Next()) {
    }
  }
  std::vector<WireFrame> frames;
  std::size_t broken = 0;  // frames cut short by a flag or a bad escape

 private:
  // Decodes one frame from the front of pending_; false if more bytes are needed.
  bool Next() {
    std::size_t stray = 0;
    while (stray < pending_.size() && pending_[stray] != 0x7E) ++stray;
    if (stray == pending_.size()) {
      strays_ += stray;
      pending_.clear();
      return false;
    }
    Bytes body;
    std::size_t need = 2;  // control and length, until they are known
    std::size_t at = stray + 1;
    while (body.size() < need) {
      if (at >= pending_.size()) {
        // Keep the stray count for when the frame completes.
        strays_ += stray;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(stray));
        return false;
      }
      std::uint8_t b = pending_[at++];
      if (b == 0x7E) return Break(at - 1);
      if (b == 0x7D) {
        if (at >= pending_.size()) {
          strays_ += stray;
          pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(stray));
          return false;
        }
        b = static_cast<std::uint8_t>(pending_[at++] ^ 0x20);
        if (b != 0x7E && b != 0x7D) return Break(at);
      }
      body.push_back(b);
      if (body.size() == 2) {
        const std::uint8_t c = body[0];
        need = 2 + (2 * ((c >> 1) & 3) + 2) + ((c >> 5) == 3 ? 1 : 0) + body[1] + (c & 1);
      }
    }
    WireFrame f;
    f.control = body[0];
    f.type = body[0] >> 5;
    f.version = (body[0] >> 3) & 3;
    f.hasCheck = body[0] & 1;
    f.addressBytes = 2 * ((body[0] >> 1) & 3) + 2;
    std::size_t i = 2;
    for (std::size_t k = 0; k < f.addressBytes; ++k) f.address = (f.address << 8) | body[i++];
    if (f.type == 3) f.status = body[i++];
    f.data.assign(body.begin() + static_cast<std::ptrdiff_t>(i),
                  body.begin() + static_cast<std::ptrdiff_t>(i + body[1]));
    i += body[1];
    if (f.hasCheck) f.checkOk = BitwiseCrc(body, i) == body[i];
    f.strayBefore = strays_ + stray;
    strays_ = 0;
    frames.push_back(f);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }
  bool Break(std::size_t resumeAt) {
    ++broken;
    strays_ = 0;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(resumeAt));
    return true;
  }

  Bytes pending_;
  std::size_t strays_ = 0;
};

// A camera from EmulatedDevice::Camera(), opened, with the transfers of
// the command channel.
class CommandChannelTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override { Open(emulator::EmulatedDevice::Camera("CMD0001")); }

  emulator::CameraFirmware& Firmware() { return device->Firmware(); }

  // One OUT transfer carrying `bytes`.
  Reply Send(const Bytes& bytes, std::uint8_t requestType = 0x42) {
    const auto n = static_cast<std::uint16_t>(bytes.size());
    auto record = ControlRecord(requestType, 0xFE, 0xF000, 0, n, n);
    std::copy(bytes.begin(), bytes.end(), record.begin() + kHeader);
    return InOut(handle, kControl, record);
  }
  // One IN transfer of `length` bytes; what it returned.
  Bytes Poll(std::uint16_t length = 2048) {
    auto record = ControlRecord(0xC2, 0xFE, 0xF000, 0, length, length);
    const Reply reply = InOut(handle, kControl, record);
    EXPECT_TRUE(reply.ok) << reply.error;
    if (!reply.ok || reply.bytes < kHeader) return {};
    return Bytes(record.begin() + kHeader, record.begin() + reply.bytes);
  }
  // Polls until the decoder holds `count` frames or a poll comes back
  // empty; returns the frames decoded so far.
  std::vector<WireFrame> Receive(std::size_t count, std::uint16_t length = 2048) {
    for (int polls = 0; decoder.frames.size() < count && polls < 100000; ++polls) {
      const Bytes got = Poll(length);
      if (got.empty()) break;
      chunks.push_back(got.size());
      decoder.Feed(got);
    }
    return decoder.frames;
  }

  StreamDecoder decoder;
  std::vector<std::size_t> chunks;  // sizes of the non-empty polls
};

}  // namespace lumo::test
