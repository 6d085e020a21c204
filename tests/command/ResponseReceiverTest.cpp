// The receive side of the command channel: unescaping, the frame state
// machine, the check byte, and delivery to the response store and the
// buffer ring.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "Log.h"
#include "command/CommandChannel.h"
#include "command/FrameBuilder.h"
#include "command/RegisterAccess.h"
#include "command/ResponseReceiver.h"
#include "support/ConsoleCapture.h"

namespace lumo::command {
namespace {

using test::BufferData;
using test::Bytes;
using test::CameraFrame;
using test::RegisterAnswer;

class ResponseReceiver : public ::testing::Test {
 protected:
  void Feed(const Bytes& bytes) { ParseReceivedBytes(state, bytes.data(), bytes.size()); }

  bool Stored(std::uint32_t address, Bytes* data = nullptr) {
    std::lock_guard<std::mutex> lock(state.responseLock);
    auto it = state.responseStore.find(address);
    if (it == state.responseStore.end()) return false;
    if (data) *data = it->second;
    return true;
  }

  Bytes RingBytes(std::uint32_t from, std::uint32_t count) {
    Bytes bytes;
    for (std::uint32_t i = 0; i < count; ++i)
      bytes.push_back(state.bufferRing[(from + i) % state.bufferRing.size()]);
    return bytes;
  }

  test::ConsoleCapture console;
  CommandChannel state;
};

TEST_F(ResponseReceiver, BytesOutsideFramesAreIgnoredAndFramesAreDeliveredInOrder) {
  Bytes stream = {0x01, 0x02, 0x43, 0x00};
  const Bytes first = RegisterAnswer(0x100, {1, 2, 3, 4});
  const Bytes second = RegisterAnswer(0x104, {5});
  stream.insert(stream.end(), first.begin(), first.end());
  stream.insert(stream.end(), {0x33, 0x44});  // between frames
  stream.insert(stream.end(), second.begin(), second.end());
  Feed(stream);
  Bytes data;
  ASSERT_TRUE(Stored(0x100, &data));
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));
  ASSERT_TRUE(Stored(0x104, &data));
  EXPECT_EQ(data, Bytes{5});
  EXPECT_EQ(state.rxState, kReceiveIdle);
  EXPECT_TRUE(console.Captured().empty());
}

TEST_F(ResponseReceiver, AFrameSplitAcrossTransfersIsDeliveredWithItsLastByte) {
  const Bytes frame = RegisterAnswer(0x7E7D, {0x7E, 0x7D, 9});
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    state.responseStore.clear();
    Feed(Bytes(frame.begin(), frame.begin() + cut));
    ASSERT_FALSE(Stored(0x7E7D)) << cut;
    Feed(Bytes(frame.begin() + cut, frame.end()));
    Bytes data;
    ASSERT_TRUE(Stored(0x7E7D, &data)) << cut;
    EXPECT_EQ(data, (Bytes{0x7E, 0x7D, 9}));
  }
}

TEST_F(ResponseReceiver, FlagInsideAFrameStartsANewOne) {
  Bytes partial = RegisterAnswer(0x200, {1, 2, 3, 4});
  partial.resize(partial.size() - 3);
  const Bytes whole = RegisterAnswer(0x204, {7});
  Bytes stream = partial;
  stream.insert(stream.end(), whole.begin(), whole.end());
  Feed(stream);
  EXPECT_FALSE(Stored(0x200));
  EXPECT_TRUE(Stored(0x204));

  // An escape followed by the flag also starts a new frame.
  Bytes escaped = RegisterAnswer(0x208, {1});
  escaped.resize(4);
  escaped.push_back(0x7D);
  const Bytes next = RegisterAnswer(0x20C, {2});
  escaped.insert(escaped.end(), next.begin(), next.end());
  Feed(escaped);
  EXPECT_FALSE(Stored(0x208));
  EXPECT_TRUE(Stored(0x20C));
}

TEST_F(ResponseReceiver, EscapeRules) {
  // 7D 7D 5E delivers the single byte 0x7E (2-byte address, no check byte).
  Feed({0x7E, 0x00, 0x01, 0x00, 0x30, 0x7D, 0x7D, 0x5E});
  Bytes data;
  ASSERT_TRUE(Stored(0x30, &data));
  EXPECT_EQ(data, Bytes{0x7E});
  // An escape followed by anything else drops the frame until the next flag.
  Feed({0x7E, 0x00, 0x01, 0x00, 0x31, 0x7D, 0x41, 0x42});
  EXPECT_FALSE(Stored(0x31));
  EXPECT_EQ(state.rxState, kReceiveIdle);
  // An unescaped 0x5E / 0x5D is plain data.
  Feed({0x7E, 0x00, 0x02, 0x00, 0x32, 0x5E, 0x5D});
  ASSERT_TRUE(Stored(0x32, &data));
  EXPECT_EQ(data, (Bytes{0x5E, 0x5D}));
}

TEST_F(ResponseReceiver, CheckByteAndVersionAreEnforced) {
  Bytes corrupt = RegisterAnswer(0x300, {1, 2});
  corrupt.back() ^= 0x01;
  Feed(corrupt);
  EXPECT_FALSE(Stored(0x300));
  auto logLines = console.Captured();
  ASSERT_EQ(logLines.size(), 1u);
  EXPECT_EQ(logLines[0].rfind("complate_data=>crc8_error(", 0), 0u);
  EXPECT_EQ(logLines[0].substr(logLines[0].size() - 2), "\r\n");

  Feed(CameraFrame(0x43 | 0x08, 0x304, {1}));  // version 1
  EXPECT_FALSE(Stored(0x304));
  logLines = console.Captured();
  ASSERT_EQ(logLines.size(), 2u);
  EXPECT_EQ(logLines[1], "ver = 1 not support!Reset recv status!\r\n");

  // Without the check flag nothing is checked.
  Feed(CameraFrame(0x42, 0x308, {9, 9}));
  EXPECT_TRUE(Stored(0x308));
}

TEST_F(ResponseReceiver, AddressWidthsStatusByteAndHighAddressBits) {
  ExpectResponse(state, 0x400);
  Feed(CameraFrame(0x41, 0x400, {1}));  // 2-byte address
  EXPECT_TRUE(state.responseArrived);
  Feed(CameraFrame(0x65, 0x404, {2, 3}, 0xAA));  // type 3: a status byte first
  Bytes data;
  ASSERT_TRUE(Stored(0x404, &data));
  EXPECT_EQ(data, (Bytes{2, 3}));

  // An 8-byte address with high bits: stored under its low 32 bits, wakes nobody.
  ExpectResponse(state, 0x408);
  Feed(CameraFrame(0x47, 0x100000408ull, {4}));
  EXPECT_TRUE(Stored(0x408));
  EXPECT_FALSE(state.responseArrived);
  // An empty answer for the awaited address stores an empty entry and wakes.
  Feed(RegisterAnswer(0x408, {}));
  ASSERT_TRUE(Stored(0x408, &data));
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(state.responseArrived);
}

TEST_F(ResponseReceiver, BodiesOverTheCounterNeverComplete) {
  // 255 data bytes with a check byte and a 4-byte address: 260 body bytes.
  Feed(RegisterAnswer(0x500, Bytes(255, 0x11)));
  EXPECT_FALSE(Stored(0x500));
  // The next flag starts afresh.
  Feed(RegisterAnswer(0x504, Bytes(250, 0x22)));
  EXPECT_TRUE(Stored(0x504));
}

TEST_F(ResponseReceiver, BufferDataFillsTheRingAndWraps) {
  state.bufferWriteIndex = 2040;
  state.bufferReadIndex = 2040;
  Feed(BufferData({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(state.bufferWriteIndex, 0u);  // ended exactly at the ring's end
  EXPECT_TRUE(state.bufferArrived);
  Feed(BufferData({9, 10, 11}));
  EXPECT_EQ(state.bufferWriteIndex, 3u);
  EXPECT_EQ(RingBytes(2040, 11), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  // Straddling the end.
  state.bufferWriteIndex = 2046;
  Feed(BufferData({0xA, 0xB, 0xC, 0xD}));
  EXPECT_EQ(state.bufferWriteIndex, 2u);
  EXPECT_EQ(RingBytes(2046, 4), (Bytes{0xA, 0xB, 0xC, 0xD}));
  // Buffer frames never reach the response store.
  EXPECT_FALSE(Stored(0x5AA555AA));
}

}  // namespace
}  // namespace lumo::command
