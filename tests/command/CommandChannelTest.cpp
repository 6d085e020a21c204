// The command channel end to end: LumoUsbManager, the camera's response
// reader and the emulated camera's firmware.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "platform/virtual/VirtualBus.h"
#include "support/OpenCameraFixture.h"

namespace lumo::command {
namespace {

using emulator::CameraFirmware;
using emulator::EmulatedDevice;
using emulator::Fault;
using emulator::FaultKind;
using Bytes = std::vector<std::uint8_t>;

const auto kNone = test::NoHandle();

class CommandChannel : public test::OpenCameraFixture {
 protected:
  CommandChannel() : OpenCameraFixture("CMD1") {}

  std::vector<std::string> LogLines() const { return console.Captured(); }

  CameraFirmware& firmware() { return camera->Firmware(); }

  // Waits until the camera's buffer ring holds `count` unread bytes.
  bool WaitUnread(std::uint32_t count) {
    command::CommandChannel& state = State().channel;
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(state.bufferLock);
        if ((state.bufferWriteIndex + 2048 - state.bufferReadIndex) % 2048 == count) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Reads buffer-channel bytes until `count` have arrived or `timeoutMs`
  // have passed. A read also ends, empty-handed, when an empty buffer frame
  // arrives (the loopback of an empty send does that); reading goes on.
  Bytes ReadBufferBytes(std::size_t count, int timeoutMs = 1000) {
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
      Bytes chunk(2048);
      int length = static_cast<int>(chunk.size());
      if (!manager->CameraReadBuffer(handle, chunk.data(), &length, timeoutMs)) continue;
      received.insert(received.end(), chunk.begin(), chunk.begin() + length);
    }
    return received;
  }
};

TEST_F(CommandChannel, OpenAndCloseRepeatedly) {
  EXPECT_EQ(manager->OpenDevice(manager->GetDeviceIDForIndex(0)), handle);  // already open
  for (int round = 0; round < 5; ++round) {
    EXPECT_TRUE(manager->CloseDevice(handle));
    EXPECT_TRUE(manager->CloseDevice(handle));  // closed already: still true
    EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
    Bytes data(4);
    EXPECT_FALSE(manager->ReadCommand(handle, 0x10, data.data(), 4, 100));
    ASSERT_EQ(manager->OpenDevice(manager->GetDeviceIDForIndex(0)), handle);
  }
  Bytes data = {1, 2, 3, 4};
  EXPECT_TRUE(manager->SetupCommand(handle, 0x40, data.data(), 4, 1000));
}

TEST_F(CommandChannel, RegisterWriteThenRead) {
  Bytes written = {0xDE, 0xAD, 0x7E, 0x7D};
  Bytes data = written;
  ASSERT_TRUE(manager->SetupCommand(handle, 0x20, data.data(), 4, 1000));
  EXPECT_EQ(data, written);  // the answer carries the data written
  EXPECT_EQ(firmware().Register(0x20), written);

  Bytes read(8, 0xEE);
  ASSERT_TRUE(manager->ReadCommand(handle, 0x20, read.data(), 8, 1000));
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 4), written);
  EXPECT_EQ(read[4], 0xEE);  // past the answer: untouched

  Bytes shorter(2);
  ASSERT_TRUE(manager->ReadCommand(handle, 0x20, shorter.data(), 2, 1000));
  EXPECT_EQ(shorter, (Bytes{0xDE, 0xAD}));

  // An address with bits above bit 31 goes out as its low 32 bits.
  Bytes high(4);
  ASSERT_TRUE(manager->ReadCommand(handle, 0x100000020ll, high.data(), 4, 1000));
  EXPECT_EQ(high, written);
  // A write without data sends length 0 and copies nothing back.
  EXPECT_TRUE(manager->SetupCommand(handle, 0x24, nullptr, 0, 1000));
  const auto frames = firmware().HostFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().address, 0x24u);
  EXPECT_TRUE(frames.back().data.empty());
}

TEST_F(CommandChannel, LateAnswersTimeOutAndNeverTurnIntoSuccess) {
  firmware().SetRegister(0x30, {1, 2, 3, 4});
  Fault late = Fault::Next(FaultKind::kDelay);
  late.delay = std::chrono::milliseconds(400);
  firmware().InjectFault(late);
  Bytes data(4, 0);
  EXPECT_FALSE(manager->ReadCommand(handle, 0x30, data.data(), 4, 100));
  EXPECT_EQ(data, Bytes(4, 0));
  // Let the late answer be fetched by the reader and dropped as unawaited.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (firmware().QueuedBytes() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(firmware().QueuedBytes(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // A later call for the same address waits for its own answer.
  firmware().InjectFault(Fault::Next(FaultKind::kDropAnswer));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x30, data.data(), 4, 200));

  late.delay = std::chrono::milliseconds(150);
  firmware().InjectFault(late);
  EXPECT_TRUE(manager->ReadCommand(handle, 0x30, data.data(), 4, 2000));
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));
}

TEST_F(CommandChannel, CorruptForeignAndMissingAnswersFail) {
  Bytes data(4);
  firmware().InjectFault(Fault::Next(FaultKind::kCorruptCheck));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x50, data.data(), 4, 300));
  bool crcLogged = false;
  for (const std::string& line : LogLines())
    crcLogged |= line.rfind("complate_data=>crc8_error(", 0) == 0;
  EXPECT_TRUE(crcLogged);

  Fault foreign = Fault::Next(FaultKind::kWrongAddress);
  foreign.address = 0x54;
  firmware().InjectFault(foreign);
  EXPECT_FALSE(manager->ReadCommand(handle, 0x50, data.data(), 4, 300));

  firmware().InjectFault(Fault::Next(FaultKind::kDropAnswer));
  EXPECT_FALSE(manager->SetupCommand(handle, 0x50, data.data(), 4, 300));

  firmware().InjectFault(Fault::Next(FaultKind::kVersionBits));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x50, data.data(), 4, 300));

  // Stray bytes and other answer shapes are read through.
  firmware().InjectFault(Fault::Next(FaultKind::kStrayBytes));
  EXPECT_TRUE(manager->ReadCommand(handle, 0x50, data.data(), 4, 1000));
  firmware().InjectFault(Fault::Next(FaultKind::kStatusFrame));
  EXPECT_TRUE(manager->ReadCommand(handle, 0x50, data.data(), 4, 1000));
  // The buffer channel's address is never a register.
  EXPECT_FALSE(manager->ReadCommand(handle, 0x5AA555AA, data.data(), 4, 200));
}

TEST_F(CommandChannel, WritesOneFrameCannotCarryAreRefusedUnsent) {
  const std::size_t before = firmware().HostFrames().size();
  Bytes big(256, 1);
  EXPECT_FALSE(manager->SetupCommand(handle, 0x60, big.data(), 256, 200));
  Bytes flags(255, 0x7E);  // 255 bytes, every one escaped: more than a frame buffer
  EXPECT_FALSE(manager->SetupCommand(handle, 0x60, flags.data(), 255, 200));
  EXPECT_FALSE(manager->SetupCommand(handle, 0x60, big.data(), -1, 200));
  EXPECT_EQ(firmware().HostFrames().size(), before);
  Bytes fits(248, 0x7E);
  EXPECT_TRUE(manager->SetupCommand(handle, 0x60, fits.data(), 248, 1000));
  EXPECT_EQ(firmware().Register(0x60), Bytes(248, 0x7E));
}

TEST_F(CommandChannel, BufferSendsAreCutInto200ByteFramesAndLoopBack) {
  for (int size : {0, 124, 200, 450}) {
    firmware().TakeHostFrames();
    Bytes payload(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(0x7C + i % 3);
    ASSERT_TRUE(manager->CameraSendBuffer(handle, payload.data(), size, 1000)) << size;
    const auto frames = firmware().TakeHostFrames();
    const std::size_t expectedFrames = size == 0 ? 1 : (static_cast<std::size_t>(size) + 199) / 200;
    ASSERT_EQ(frames.size(), expectedFrames) << size;
    for (const auto& frame : frames) {
      EXPECT_TRUE(frame.accepted) << frame.problem;
      EXPECT_EQ(frame.address, 0x5AA555AAu);
    }
    if (size == 450) {
      EXPECT_EQ(frames[2].data[0], 50);  // n of the last chunk
    }
    EXPECT_EQ(ReadBufferBytes(payload.size()), payload) << size;
  }
  const auto lines = LogLines();
  bool sentLogged = false;
  for (const std::string& line : lines)
    sentLogged |= line.rfind("ioSend success send len = ", 0) == 0;
  EXPECT_TRUE(sentLogged);
  EXPECT_FALSE(manager->CameraSendBuffer(handle, nullptr, -5, 100));
}

TEST_F(CommandChannel, ReadsHonourTheCountAndStopAtTheRingsEnd) {
  Bytes first(1500);
  for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(manager->CameraSendBuffer(handle, first.data(), 1500, 1000));
  Bytes got(2048);
  int count = 10;
  ASSERT_TRUE(manager->CameraReadBuffer(handle, got.data(), &count, 1000));
  EXPECT_EQ(count, 10);
  EXPECT_EQ(got[9], 9);
  EXPECT_EQ(ReadBufferBytes(1490), Bytes(first.begin() + 10, first.end()));

  // 1000 more bytes run past the ring's end (2048): the first read returns
  // the part up to the end, the next the rest.
  Bytes second(1000, 0xA5);
  ASSERT_TRUE(manager->CameraSendBuffer(handle, second.data(), 1000, 1000));
  ASSERT_TRUE(WaitUnread(1000));
  count = 2048;
  ASSERT_TRUE(manager->CameraReadBuffer(handle, got.data(), &count, 1000));
  EXPECT_EQ(count, 2048 - 1500);
  count = 2048;
  ASSERT_TRUE(manager->CameraReadBuffer(handle, got.data(), &count, 1000));
  EXPECT_EQ(count, 1000 - (2048 - 1500));

  // Nothing unread: the read times out and leaves the count alone.
  count = 77;
  EXPECT_FALSE(manager->CameraReadBuffer(handle, got.data(), &count, 50));
  EXPECT_EQ(count, 77);
}

TEST_F(CommandChannel, UnsolicitedBufferDataReachesTheReader) {
  firmware().InjectBufferData({9, 8, 7});
  EXPECT_EQ(ReadBufferBytes(3), (Bytes{9, 8, 7}));
}

// Lengths and counts a caller passes are checked before anything is sent
// or written; a write whose answer the receiver could not take in (more
// than 255 bytes after the length byte) is refused rather than left to
// time out.
TEST_F(CommandChannel, HostileLengthsAreRefusedBeforeAnythingIsSentOrWritten) {
  firmware().SetRegister(0x70, Bytes(8, 0x42));
  const std::size_t before = firmware().HostFrames().size();
  Bytes destination(16, 0xEE);
  EXPECT_FALSE(manager->ReadCommand(handle, 0x70, destination.data(), -1, 200));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x70, nullptr, 4, 200));
  EXPECT_EQ(destination, Bytes(16, 0xEE));
  for (int length : {251, 253, 255}) {
    Bytes data(static_cast<std::size_t>(length), 3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(manager->SetupCommand(handle, 0x60, data.data(), length, 3000)) << length;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << length;
  }
  Bytes payload(8, 1);
  EXPECT_FALSE(manager->CameraSendBuffer(handle, payload.data(), -8, 200));
  EXPECT_FALSE(manager->CameraSendBuffer(handle, nullptr, 8, 200));
  EXPECT_EQ(firmware().HostFrames().size(), before);

  firmware().InjectBufferData({1, 2, 3});
  ASSERT_TRUE(WaitUnread(3));
  for (int count : {0, -4}) {
    int length = count;
    EXPECT_FALSE(manager->CameraReadBuffer(handle, destination.data(), &length, 200));
    EXPECT_EQ(length, count);
  }
  EXPECT_EQ(destination, Bytes(16, 0xEE));
  EXPECT_EQ(ReadBufferBytes(3), (Bytes{1, 2, 3}));  // nothing was taken

  Bytes largest(250, 3);
  EXPECT_TRUE(manager->SetupCommand(handle, 0x60, largest.data(), 250, 2000));
  EXPECT_EQ(firmware().Register(0x60), Bytes(250, 3));
}

// A sent request makes the reader poll at once and then back off; with
// nothing awaited it keeps pausing 10 ms after each empty poll.
TEST_F(CommandChannel, AnIdleCameraIsPolledNoMoreThanEveryTenMilliseconds) {
  Bytes data = {1, 2, 3, 4};
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(manager->SetupCommand(handle, 0x44, data.data(), 4, 1000));
  // Let the back-off after the last answer run out, then count idle polls.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::uint64_t before = firmware().Counters().inTransfers;
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::uint64_t polls = firmware().Counters().inTransfers - before;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_LE(polls, static_cast<std::uint64_t>(elapsed.count() / 10 + 2));
  EXPECT_GE(polls, 5u);  // it still polls
}

TEST(CommandChannelTwoCameras, ConcurrentCallersOnTwoCameras) {
  auto first = EmulatedDevice::Camera("TWO1");
  auto second = EmulatedDevice::Camera("TWO2");
  ASSERT_TRUE(first->Plug());
  ASSERT_TRUE(second->Plug());
  LumoUsbManager manager;
  void* handles[2] = {manager.OpenDevice(manager.GetDeviceIDForIndex(0)),
                      manager.OpenDevice(manager.GetDeviceIDForIndex(1))};
  ASSERT_NE(handles[0], kNone);
  ASSERT_NE(handles[1], kNone);
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 2; ++c) {
    callers.emplace_back([&, c] {
      for (std::uint32_t i = 0; i < 40; ++i) {
        Bytes value = {std::uint8_t(c), std::uint8_t(i), 0, 1};
        Bytes echo = value;
        if (!manager.SetupCommand(handles[c], 0x1000 + i, echo.data(), 4, 2000)) ++failures;
        Bytes read(4);
        if (!manager.ReadCommand(handles[c], 0x1000 + i, read.data(), 4, 2000) || read != value)
          ++failures;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(first->Firmware().Register(0x1000 + 39), (Bytes{0, 39, 0, 1}));
  EXPECT_EQ(second->Firmware().Register(0x1000 + 39), (Bytes{1, 39, 0, 1}));
  EXPECT_TRUE(manager.CloseDevice(handles[0]));
  EXPECT_TRUE(manager.CloseDevice(handles[1]));
}

}  // namespace
}  // namespace lumo::command
