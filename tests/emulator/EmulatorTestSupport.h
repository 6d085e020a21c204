// Requests to an emulated device made the way the library makes them: I/O
// control requests on an opened device path, with transfer headers built
// byte by byte here.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumo/emulator/EmulatedDevice.h"
#include "platform/Platform.h"

namespace lumo::test {

constexpr std::uint32_t kInfoA = 0x220000;
constexpr std::uint32_t kInfoB = 0x220004;
constexpr std::uint32_t kGetAlternate = 0x220008;
constexpr std::uint32_t kInfoByte = 0x220010;
constexpr std::uint32_t kControl = 0x220020;
constexpr std::uint32_t kBuffered = 0x220024;
constexpr std::uint32_t kSetLength = 0x220038;
constexpr std::uint32_t kTextA = 0x22003C;
constexpr std::uint32_t kTextB = 0x220040;
constexpr std::uint32_t kAbort = 0x220044;
constexpr std::uint32_t kDirect = 0x22004B;
constexpr std::uint32_t kState = 0x22004C;
constexpr std::uint32_t kHeader = 38;

inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t Get32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint16_t Get16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

// A control request record: header, then room for `dataLength` bytes.
inline std::vector<std::uint8_t> ControlRecord(std::uint8_t requestType, std::uint8_t request,
                                               std::uint16_t value, std::uint16_t index,
                                               std::uint16_t length, std::uint32_t dataLength) {
  std::vector<std::uint8_t> b(kHeader + dataLength, 0);
  b[0] = requestType;
  b[1] = request;
  b[2] = static_cast<std::uint8_t>(value);
  b[3] = static_cast<std::uint8_t>(value >> 8);
  b[4] = static_cast<std::uint8_t>(index);
  b[5] = static_cast<std::uint8_t>(index >> 8);
  b[6] = static_cast<std::uint8_t>(length);
  b[7] = static_cast<std::uint8_t>(length >> 8);
  Put32(b, 8, 5);  // time limit
  Put32(b, 30, kHeader);
  Put32(b, 34, dataLength);
  return b;
}

// A transfer record for a non-control endpoint. Direct: header only;
// buffered: header, then `dataLength` bytes.
inline std::vector<std::uint8_t> TransferRecord(std::uint8_t endpoint, bool direct,
                                                std::uint32_t dataLength) {
  std::vector<std::uint8_t> b(kHeader + (direct ? 0 : dataLength), 0);
  b[13] = endpoint;
  if (!direct) {
    Put32(b, 30, kHeader);
    Put32(b, 34, dataLength);
  }
  return b;
}

struct Reply {
  bool ok = false;
  std::uint32_t error = 0;
  std::uint32_t bytes = 0;
};

// A synchronous in=out request on `buffer`.
inline Reply InOut(platform::Handle device, std::uint32_t code, std::vector<std::uint8_t>& buffer) {
  Reply reply;
  const auto size = static_cast<std::uint32_t>(buffer.size());
  reply.ok = platform::IoControl(device, code, buffer.data(), size, buffer.data(), size,
                                 &reply.bytes, nullptr);
  reply.error = reply.ok ? 0 : platform::LastError();
  return reply;
}

// GET_DESCRIPTOR; `data` receives what came back after the header.
inline Reply GetDescriptor(platform::Handle device, std::uint8_t type, std::uint8_t index,
                           std::uint16_t length, std::vector<std::uint8_t>* data,
                           std::vector<std::uint8_t>* record = nullptr) {
  auto b = ControlRecord(0x80, 6, static_cast<std::uint16_t>(type * 256 + index),
                         type == 3 && index != 0 ? 0x0409 : 0, length, length);
  Reply reply = InOut(device, kControl, b);
  if (data) {
    data->clear();
    if (reply.ok && reply.bytes >= kHeader)
      data->assign(b.begin() + kHeader, b.begin() + reply.bytes);
  }
  if (record) *record = b;
  return reply;
}

// One overlapped request with its own event and buffers.
class Overlapped {
 public:
  Overlapped() { state_.event = platform::CreateEventObject(true, false); }
  ~Overlapped() { platform::CloseHandle(state_.event); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  // Issues a direct transfer into a data buffer of `size` bytes.
  bool Direct(platform::Handle device, std::uint8_t endpoint, std::uint32_t size) {
    record = TransferRecord(endpoint, true, 0);
    data.assign(size, 0);
    return Issue(device, kDirect, record.data(), static_cast<std::uint32_t>(record.size()),
                 data.data(), size);
  }
  // Issues a buffered transfer of `size` bytes (data inside the record).
  bool Buffered(platform::Handle device, std::uint8_t endpoint, std::uint32_t size) {
    record = TransferRecord(endpoint, false, size);
    const auto n = static_cast<std::uint32_t>(record.size());
    return Issue(device, kBuffered, record.data(), n, record.data(), n);
  }
  // Waits for the result.
  Reply Wait(platform::Handle device) {
    Reply reply;
    reply.ok = platform::OverlappedResult(device, &state_, &reply.bytes, true);
    reply.error = reply.ok ? 0 : platform::LastError();
    return reply;
  }
  bool Finished() const { return state_.internal.load() != platform::kStatusPending; }

  std::vector<std::uint8_t> record;
  std::vector<std::uint8_t> data;

 private:
  bool Issue(platform::Handle device, std::uint32_t code, void* in, std::uint32_t inSize, void* out,
             std::uint32_t outSize) {
    const bool done = platform::IoControl(device, code, in, inSize, out, outSize, nullptr, &state_);
    return !done && platform::LastError() == platform::kErrorIoPending;
  }
  platform::Overlapped state_;
};

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

// A plugged device with an open handle.
class EmulatedDeviceTest : public ::testing::Test {
 protected:
  void Open(std::unique_ptr<emulator::EmulatedDevice> emulated) {
    device = std::move(emulated);
    ASSERT_TRUE(device->Plug());
    handle = platform::OpenDevicePath(device->Path());
    ASSERT_NE(handle, platform::InvalidHandle());
  }
  void TearDown() override {
    if (handle != platform::InvalidHandle()) platform::CloseHandle(handle);
  }

  std::unique_ptr<emulator::EmulatedDevice> device;
  platform::Handle handle = platform::InvalidHandle();
};

}  // namespace lumo::test
