// The camera firmware's command channel seen from the host: frames sent in
// OUT transfers, answers read back from IN transfers and decoded by the
// tests' own decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CommandChannelSupport.h"

namespace lumo::test {
namespace {

using emulator::CameraFirmware;
using emulator::EmulatedDevice;
using emulator::FrameType;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(FrameCheckTest, IsTheOneWireCrc) {
  const char* text = "123456789";
  EXPECT_EQ(emulator::FrameCheckByte(reinterpret_cast<const std::uint8_t*>(text), 9), 0xA1);
  // The CRC of a single byte is its table entry.
  const std::uint8_t head[8] = {0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83};
  for (std::uint8_t i = 0; i < 8; ++i)
    EXPECT_EQ(emulator::FrameCheckByte(&i, 1), head[i]) << int(i);
  for (unsigned i = 0; i < 256; ++i) {
    const Bytes one{static_cast<std::uint8_t>(i)};
    ASSERT_EQ(emulator::FrameCheckByte(one.data(), 1), BitwiseCrc(one, 1)) << i;
  }
  const Bytes long_ = Pattern(300, 0x11);
  EXPECT_EQ(emulator::FrameCheckByte(long_.data(), long_.size()), BitwiseCrc(long_, long_.size()));
  EXPECT_EQ(emulator::FrameCheckByte(nullptr, 0), 0);
}

TEST(EncodeCameraFrameTest, EscapesAndRefusesWhatCannotBeSent) {
  emulator::CameraFrame frame;
  frame.type = FrameType::kRegisterWrite;
  frame.address = 0x7E;
  frame.data = {0x7D};
  EXPECT_EQ(emulator::EncodeCameraFrame(frame),
            (Bytes{0x7E, 0x03, 0x01, 0x00, 0x00, 0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x1F}));

  frame.addressBytes = 3;
  EXPECT_TRUE(emulator::EncodeCameraFrame(frame).empty());
  frame.addressBytes = 4;
  frame.version = 4;
  EXPECT_TRUE(emulator::EncodeCameraFrame(frame).empty());
  frame.version = 0;
  frame.data.assign(256, 0);
  EXPECT_TRUE(emulator::EncodeCameraFrame(frame).empty());
}

TEST_F(CommandChannelTest, WorkedExamplesAreAcceptedAndAnswered) {
  const Bytes read{0x7E, 0x43, 0x00, 0x00, 0x00, 0x00, 0x10, 0xB1};
  const Bytes write{0x7E, 0x03, 0x04, 0x00, 0x00, 0x00, 0x20, 0x01, 0x02, 0x03, 0x04, 0xE5};
  const Bytes escaped{0x7E, 0x03, 0x01, 0x00, 0x00, 0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x1F};
  for (const Bytes* frame : {&read, &write, &escaped}) {
    const Reply reply = Send(*frame);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.bytes, kHeader + frame->size());
  }

  // One IN transfer holds all three answers. A write is answered with the
  // address and data written, which encodes to the request's own bytes.
  const Bytes stream = Poll();
  const Bytes readAnswer{0x7E, 0x43, 0x04, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0xBC};
  EXPECT_EQ(stream, Concat({readAnswer, write, escaped}));
  decoder.Feed(stream);
  ASSERT_EQ(decoder.frames.size(), 3u);
  const WireFrame& a = decoder.frames[0];
  EXPECT_EQ(a.type, 2);
  EXPECT_EQ(a.address, 0x10u);
  EXPECT_EQ(a.addressBytes, 4u);
  EXPECT_EQ(a.data, Bytes(4, 0));
  EXPECT_TRUE(a.hasCheck);
  EXPECT_TRUE(a.checkOk);
  EXPECT_EQ(decoder.frames[1].type, 0);
  EXPECT_EQ(decoder.frames[1].data, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(decoder.frames[2].address, 0x7Eu);
  EXPECT_EQ(decoder.frames[2].data, Bytes{0x7D});
  EXPECT_TRUE(Poll().empty());

  // What the host sent, decoded, with the raw bytes of each transfer.
  const auto records = Firmware().TakeHostFrames();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].raw, read);
  EXPECT_EQ(records[2].raw, escaped);
  for (const auto& r : records) EXPECT_TRUE(r.accepted) << r.problem;
  EXPECT_EQ(records[0].type, FrameType::kRegisterRead);
  EXPECT_EQ(records[0].control, 0x43);
  EXPECT_EQ(records[1].type, FrameType::kRegisterWrite);
  EXPECT_EQ(records[1].address, 0x20u);
  EXPECT_EQ(records[1].data, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(records[2].address, 0x7Eu);
  EXPECT_EQ(records[2].data, Bytes{0x7D});
  EXPECT_TRUE(Firmware().HostFrames().empty());

  EXPECT_EQ(Firmware().Register(0x20), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(Firmware().Register(0x7E), Bytes{0x7D});
  const auto counters = Firmware().Counters();
  EXPECT_EQ(counters.framesReceived, 3u);
  EXPECT_EQ(counters.framesRejected, 0u);
  EXPECT_EQ(counters.answersSent, 3u);
  EXPECT_EQ(counters.bytesSent, stream.size());
}

TEST_F(CommandChannelTest, CorruptOrMalformedFramesGetNoAnswer) {
  const Bytes goodRead = ReadFrame(0x10);
  Bytes truncated = goodRead;
  truncated.pop_back();
  Bytes trailing = goodRead;
  trailing.push_back(0x00);
  Bytes badEscape = WriteFrame(0x20, {0x7D});
  badEscape[badEscape.size() - 2] = 0x00;  // 7D 5D becomes 7D 00
  Bytes escapeAtEnd = goodRead;
  escapeAtEnd.back() = 0x7D;
  Bytes noFlag = goodRead;
  noFlag[0] = 0x00;
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"bad check byte", {0x7E, 0x43, 0x00, 0x00, 0x00, 0x00, 0x10, 0xB2}},
      {"bad check byte on a write", HostFrame(0x03, 0x20, {1, 2}, 0x40)},
      {"version 1", HostFrame(0x4B, 0x10, {})},
      {"version 3", HostFrame(0x1B, 0x10, {1})},
      {"version bits on a buffer frame", HostFrame(0x2A, 0x5AA555AA, {0, 0})},
      {"truncated", truncated},
      {"trailing byte", trailing},
      {"two frames in one transfer", Concat({goodRead, goodRead})},
      {"invalid escape", badEscape},
      {"escape at the end", escapeAtEnd},
      {"no flag", noFlag},
      {"empty transfer", {}},
      {"read carrying data", HostFrame(0x43, 0x10, {1})},
      {"write to the buffer channel", HostFrame(0x03, 0x5AA555AA, {1})},
      {"buffer data to a register", HostFrame(0x22, 0x10, {0, 0})},
      {"buffer count does not match", HostFrame(0x22, 0x5AA555AA, {3, 0, 1})},
      {"buffer second byte not zero", HostFrame(0x22, 0x5AA555AA, {1, 1, 9})},
      {"buffer payload over 200", BufferFrame(Pattern(201, 3))},
  };
  for (const Case& c : cases) {
    const Reply reply = Send(c.bytes);
    EXPECT_TRUE(reply.ok) << c.what << ": the transfer itself succeeds";
    EXPECT_TRUE(Poll().empty()) << c.what;
  }
  const auto records = Firmware().TakeHostFrames();
  ASSERT_EQ(records.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(records[i].accepted) << cases[i].what;
    EXPECT_FALSE(records[i].problem.empty()) << cases[i].what;
    EXPECT_EQ(records[i].raw, cases[i].bytes) << cases[i].what;
  }
  EXPECT_FALSE(Firmware().Register(0x20).has_value());
  auto counters = Firmware().Counters();
  EXPECT_EQ(counters.framesReceived, cases.size());
  EXPECT_EQ(counters.framesRejected, cases.size());
  EXPECT_EQ(counters.answersSent, 0u);

  // The firmware is not thrown off: the next good frame is answered alone.
  ASSERT_TRUE(Send(goodRead).ok);
  const auto frames = Receive(2);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].address, 0x10u);
  EXPECT_EQ(decoder.broken, 0u);
}

TEST_F(CommandChannelTest, RegistersKeepExactlyTheBytesWritten) {
  const Bytes six{0xDE, 0x7E, 0xBE, 0x7D, 0x00, 0xEF};
  ASSERT_TRUE(Send(WriteFrame(0x1000, six)).ok);
  ASSERT_TRUE(Send(ReadFrame(0x1000)).ok);
  ASSERT_TRUE(Send(ReadFrame(0x2000)).ok);  // never written
  ASSERT_TRUE(Send(WriteFrame(0x1000, {0x42})).ok);
  ASSERT_TRUE(Send(ReadFrame(0x1000)).ok);
  ASSERT_TRUE(Send(WriteFrame(0x3000, {})).ok);
  ASSERT_TRUE(Send(ReadFrame(0x3000)).ok);
  Firmware().SetRegister(0xFFFFFFFC, {9, 8, 7});
  ASSERT_TRUE(Send(ReadFrame(0xFFFFFFFC)).ok);

  const auto f = Receive(8);
  ASSERT_EQ(f.size(), 8u);
  struct Expected {
    int type;
    std::uint32_t address;
    Bytes data;
  };
  const Expected expected[] = {
      {0, 0x1000, six},    {2, 0x1000, six}, {2, 0x2000, Bytes(4, 0)}, {0, 0x1000, {0x42}},
      {2, 0x1000, {0x42}}, {0, 0x3000, {}},  {2, 0x3000, {}},          {2, 0xFFFFFFFC, {9, 8, 7}}};
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(f[i].type, expected[i].type) << i;
    EXPECT_EQ(f[i].address, expected[i].address) << i;
    EXPECT_EQ(f[i].data, expected[i].data) << i;
    EXPECT_EQ(f[i].addressBytes, 4u) << i;
    EXPECT_TRUE(f[i].hasCheck && f[i].checkOk) << i;
    EXPECT_EQ(f[i].version, 0) << i;
  }
  EXPECT_EQ(Firmware().Register(0x1000), Bytes{0x42});
  EXPECT_FALSE(Firmware().Register(0x2000).has_value()) << "a read does not create a register";
  Firmware().ClearRegisters();
  EXPECT_FALSE(Firmware().Register(0x1000).has_value());
}

TEST_F(CommandChannelTest, BufferFramesAreLoopedBack) {
  for (std::size_t n : {0u, 1u, 124u, 200u}) {
    const Bytes payload = Pattern(n, static_cast<std::uint8_t>(0x70 + n));
    const Bytes frame = BufferFrame(payload);
    if (n == 124) {
      // The length byte n + 2 is 0x7E, so it goes out escaped.
      ASSERT_EQ(frame[2], 0x7D);
      ASSERT_EQ(frame[3], 0x5E);
    }
    ASSERT_TRUE(Send(frame).ok) << n;
    decoder = StreamDecoder();
    const auto f = Receive(1);
    ASSERT_EQ(f.size(), 1u) << n;
    EXPECT_EQ(f[0].type, 1) << n;
    EXPECT_EQ(f[0].control, 0x22) << n;
    EXPECT_FALSE(f[0].hasCheck) << n;
    EXPECT_EQ(f[0].address, 0x5AA555AAu) << n;
    EXPECT_EQ(f[0].data, payload) << n;
  }
  const auto records = Firmware().HostFrames();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[2].type, FrameType::kBufferData);
  EXPECT_EQ(records[2].address, emulator::kBufferChannelAddress);
  ASSERT_EQ(records[2].data.size(), 126u);
  EXPECT_EQ(records[2].data[0], 124);
  EXPECT_EQ(records[2].data[1], 0);
  EXPECT_EQ(Firmware().Counters().framesRejected, 0u);
}

TEST_F(CommandChannelTest, BufferResponderAndInjectedDataShapeTheStream) {
  // The responder answers with the payload reversed plus a marker, and may
  // use the firmware while it runs.
  Firmware().SetBufferResponder([this](const Bytes& in) -> std::optional<Bytes> {
    if (in.empty()) return std::nullopt;
    if (in[0] == 0xAA) return Bytes{};
    if (in[0] == 0xBB) return Pattern(300, 1);
    Firmware().SetRegister(0x500, in);
    Bytes out(in.rbegin(), in.rend());
    out.push_back(0xEE);
    return out;
  });
  ASSERT_TRUE(Send(BufferFrame({1, 2, 3})).ok);
  ASSERT_TRUE(Send(BufferFrame({})).ok);      // nothing comes back
  ASSERT_TRUE(Send(BufferFrame({0xAA})).ok);  // one empty frame
  ASSERT_TRUE(Send(BufferFrame({0xBB})).ok);  // 300 bytes: two frames
  auto f = Receive(4);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].data, (Bytes{3, 2, 1, 0xEE}));
  EXPECT_TRUE(f[1].data.empty());
  EXPECT_EQ(f[2].data.size(), 255u);
  EXPECT_EQ(f[3].data.size(), 45u);
  Bytes joined = f[2].data;
  joined.insert(joined.end(), f[3].data.begin(), f[3].data.end());
  EXPECT_EQ(joined, Pattern(300, 1));
  EXPECT_EQ(Firmware().Register(0x500), (Bytes{1, 2, 3}));

  // Unsolicited data and raw bytes go out in the order they were queued.
  Firmware().InjectBufferData({0x7E, 0x10});
  Firmware().InjectRawBytes({0x01, 0x02, 0x03});
  emulator::CameraFrame odd;
  odd.type = FrameType::kRegisterRead;
  odd.address = 0x44;
  odd.data = {5};
  ASSERT_TRUE(Firmware().InjectFrame(odd));
  odd.addressBytes = 5;
  EXPECT_FALSE(Firmware().InjectFrame(odd));
  EXPECT_EQ(Poll(), Concat({{0x7E, 0x22, 0x02, 0x5A, 0xA5, 0x55, 0xAA, 0x7D, 0x5E, 0x10},
                            {0x01, 0x02, 0x03},
                            HostFrame(0x43, 0x44, {5})}));

  Firmware().SetBufferResponder(nullptr);  // back to the loopback
  ASSERT_TRUE(Send(BufferFrame({1, 2, 3})).ok);
  decoder = StreamDecoder();
  f = Receive(1);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].data, (Bytes{1, 2, 3}));
}

// Serves the start request with 64 bytes holding its wValue.
class StartStub : public emulator::VendorRequestHandler {
 public:
  bool OnVendorRequest(const emulator::SetupPacket& setup, Bytes& data) override {
    if (setup.value != emulator::kStreamStartValue) return false;
    data.assign(64, 0);
    data[0] = static_cast<std::uint8_t>(setup.value >> 8);
    return true;
  }
};

TEST_F(CommandChannelTest, OtherVendorRequestsGoToTheStreamSlot) {
  auto start = ControlRecord(0xC2, 0xFE, 0xFF00, 0, 64, 64);
  EXPECT_EQ(InOut(handle, kControl, start).error, platform::kErrorGenFailure);
  // The channel's request with another recipient or index is not the channel.
  auto deviceRecipient = ControlRecord(0xC0, 0xFE, 0xF000, 0, 16, 16);
  EXPECT_EQ(InOut(handle, kControl, deviceRecipient).error, platform::kErrorGenFailure);
  auto otherIndex = ControlRecord(0xC2, 0xFE, 0xF000, 1, 16, 16);
  EXPECT_EQ(InOut(handle, kControl, otherIndex).error, platform::kErrorGenFailure);
  EXPECT_EQ(device->StalledRequests(), 3u);

  Firmware().SetStreamHandler(std::make_unique<StartStub>());
  start = ControlRecord(0xC2, 0xFE, 0xFF00, 0, 64, 64);
  const Reply reply = InOut(handle, kControl, start);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.bytes, kHeader + 64);
  EXPECT_EQ(start[kHeader], 0xFF);
  // The command channel is unchanged.
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  EXPECT_EQ(Receive(1).size(), 1u);
  EXPECT_EQ(Firmware().Counters().framesReceived, 1u);
}

TEST_F(CommandChannelTest, FirmwareServesOnlyWhileInstalled) {
  device->SetVendorRequestHandler(nullptr);
  EXPECT_EQ(Send(ReadFrame(0x10)).error, platform::kErrorGenFailure);
  device->UseCameraFirmware();
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  EXPECT_EQ(Receive(1).size(), 1u);
  EXPECT_EQ(Firmware().Counters().framesReceived, 1u);
}

TEST(CameraFirmwareInstallTest, AnyDeviceCanRunTheFirmware) {
  auto other = EmulatedDevice::OtherDevice("PLAIN1");
  ASSERT_TRUE(other->Plug());
  platform::Handle h = platform::OpenDevicePath(other->Path());
  ASSERT_NE(h, platform::InvalidHandle());
  const Bytes frame = ReadFrame(0x10);
  auto out = ControlRecord(0x42, 0xFE, 0xF000, 0, 8, 8);
  std::copy(frame.begin(), frame.end(), out.begin() + kHeader);
  auto outAgain = out;
  EXPECT_EQ(InOut(h, kControl, out).error, platform::kErrorGenFailure);

  // A firmware of its own, installed through its handler.
  CameraFirmware firmware;
  firmware.SetRegister(0x10, {4, 3, 2, 1});
  other->SetVendorRequestHandler(firmware.Handler());
  EXPECT_TRUE(InOut(h, kControl, outAgain).ok);
  auto in = ControlRecord(0xC2, 0xFE, 0xF000, 0, 2048, 2048);
  const Reply reply = InOut(h, kControl, in);
  ASSERT_TRUE(reply.ok);
  StreamDecoder decoder;
  decoder.Feed(Bytes(in.begin() + kHeader, in.begin() + reply.bytes));
  ASSERT_EQ(decoder.frames.size(), 1u);
  EXPECT_EQ(decoder.frames[0].data, (Bytes{4, 3, 2, 1}));
  other->SetVendorRequestHandler(nullptr);
  platform::CloseHandle(h);
}

TEST_F(CommandChannelTest, UnplugDiscardsUnsentBytesAndResetForgetsEverything) {
  ASSERT_TRUE(Send(WriteFrame(0x10, {1})).ok);
  Firmware().InjectFault(emulator::Fault::Next(emulator::FaultKind::kDropAnswer, 5));
  EXPECT_GT(Firmware().QueuedBytes(), 0u);
  platform::CloseHandle(handle);
  handle = platform::InvalidHandle();
  ASSERT_TRUE(device->Unplug());
  EXPECT_EQ(Firmware().QueuedBytes(), 0u);
  EXPECT_EQ(Firmware().Register(0x10), Bytes{1});  // registers outlive unplugging
  EXPECT_EQ(Firmware().ActiveFaults(), 1u);

  Firmware().Reset();
  EXPECT_FALSE(Firmware().Register(0x10).has_value());
  EXPECT_EQ(Firmware().ActiveFaults(), 0u);
  EXPECT_TRUE(Firmware().HostFrames().empty());
  EXPECT_EQ(Firmware().Counters().framesReceived, 0u);

  ASSERT_TRUE(device->Plug());
  handle = platform::OpenDevicePath(device->Path());
  ASSERT_NE(handle, platform::InvalidHandle());
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  const auto f = Receive(1);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].data, Bytes(4, 0));
}

}  // namespace
}  // namespace lumo::test
