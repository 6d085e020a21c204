// A camera's statistics against the truth: what the emulated camera says
// it sent, dropped, corrupted and failed, and how often the test unplugged
// and replugged it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "lumo/CameraStatistics.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/virtual/VirtualBus.h"
#include "support/OpenCameraFixture.h"

namespace lumo::test {
namespace {

using emulator::Fault;
using emulator::FaultKind;
using emulator::FaultTarget;
using emulator::StreamConfig;
using emulator::StreamCounters;
using emulator::StreamFault;
using emulator::StreamFaultKind;

class Statistics : public OpenCameraFixture {
 protected:
  Statistics() : OpenCameraFixture("STAT1") {}

  LumoCameraStatistics Read() {
    LumoCameraStatistics statistics{};
    EXPECT_TRUE(manager->GetStatistics(handle, &statistics));
    return statistics;
  }

  // Waits until the camera has sent `frames` frames in all and the library
  // has taken every block of them. Each transfer carries one whole frame,
  // so a failed transfer takes one frame with it, and the camera does not
  // count that frame as finished.
  void Drain(std::uint64_t frames) {
    ASSERT_TRUE(camera->Stream().WaitUntil(
        [&](const StreamCounters& c) { return c.framesFinished + c.transferErrors >= frames; },
        std::chrono::seconds(10)));
    // Bytes and blocks are counted in batches: both catch up.
    const StreamCounters sent = camera->Stream().Counters();
    const auto caughtUp = [&] {
      const LumoCameraStatistics s = Read();
      return s.blocksReceived >= sent.blocksSent && s.bytesReceived >= sent.bytesSent;
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!caughtUp() && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(Read().blocksReceived, sent.blocksSent);
  }

  // Every stream counter against the camera's own.
  void ExpectStreamMatches(const char* when) {
    SCOPED_TRACE(when);
    const StreamCounters sent = camera->Stream().Counters();
    const LumoCameraStatistics s = Read();
    EXPECT_EQ(s.bytesReceived, sent.bytesSent);
    EXPECT_EQ(s.blocksReceived, sent.blocksSent);
    EXPECT_EQ(s.transferErrors, sent.transferErrors);
    // A frame that lost a block can never complete.
    EXPECT_EQ(s.framesIncomplete, sent.framesDamaged);
    EXPECT_EQ(s.framesCompleted, sent.framesFinished - sent.framesDamaged);
    EXPECT_EQ(s.framesLostNoBuffer, 0u);
    EXPECT_EQ(s.framesLostQueueFull, 0u);
  }
};

TEST_F(Statistics, RefusedForNoCameraOrNoRecordAndZeroForAFreshCamera) {
  LumoCameraStatistics statistics{};
  EXPECT_FALSE(manager->GetStatistics(NoHandle(), &statistics));
  EXPECT_FALSE(manager->GetStatistics(nullptr, &statistics));
  EXPECT_FALSE(manager->GetStatistics(handle, nullptr));
  statistics.removals = 99;
  ASSERT_TRUE(manager->GetStatistics(handle, &statistics));
  const LumoCameraStatistics zero{};
  EXPECT_EQ(std::memcmp(&statistics, &zero, sizeof zero), 0);
  // Closed cameras keep their counters and can be asked.
  ASSERT_TRUE(manager->CloseDevice(handle));
  EXPECT_TRUE(manager->GetStatistics(handle, &statistics));
}

// Answers with a wrong check byte are dropped by the library, and the call
// waiting for them times out; so does a call whose answer never comes.
TEST_F(Statistics, CommandCountersMatchTheAnswersTheCameraSpoiled) {
  emulator::CameraFirmware& firmware = camera->Firmware();
  Fault corrupt = Fault::Next(FaultKind::kCorruptCheck, 2);
  corrupt.target = FaultTarget::kRegisterAnswers;
  firmware.InjectFault(corrupt);
  int failed = 0;
  std::uint8_t bytes[4] = {1, 2, 3, 4};
  for (int i = 0; i < 3; ++i)
    failed += manager->ReadCommand(handle, 0x100 + i, bytes, 4, 300) ? 0 : 1;
  firmware.InjectFault(Fault::Next(FaultKind::kDropAnswer));
  failed += manager->SetupCommand(handle, 0x200, bytes, 4, 300) ? 0 : 1;
  EXPECT_TRUE(manager->ReadCommand(handle, 0x200, bytes, 4, 1000));

  const emulator::FirmwareCounters truth = firmware.Counters();
  const LumoCameraStatistics s = Read();
  EXPECT_EQ(truth.answersCorrupted, 2u);
  EXPECT_EQ(truth.answersDropped, 1u);
  EXPECT_EQ(s.commandCheckErrors, truth.answersCorrupted);
  EXPECT_EQ(s.commandTimeouts, truth.answersCorrupted + truth.answersDropped);
  EXPECT_EQ(s.commandTimeouts, static_cast<std::uint64_t>(failed));
  // A call ended by closing the camera is no time-out.
  firmware.InjectFault(Fault::Next(FaultKind::kDropAnswer));
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    manager->CloseDevice(handle);
  });
  EXPECT_FALSE(manager->ReadCommand(handle, 0x300, bytes, 4, 5000));
  closer.join();
  EXPECT_EQ(Read().commandTimeouts, s.commandTimeouts);
}

// Frames with a block left out, transfers that fail, then the camera
// unplugged and plugged back twice while acquiring: every stream counter
// matches what the camera did, and the transfers the unplugs cut off are no
// transfer errors.
TEST_F(Statistics, StreamCountersMatchWhatTheCameraSentThroughFaultsAndUnplugs) {
  StreamConfig config = camera->Stream().Config();
  config.width = 256;
  config.height = 64;  // a header and 8 data blocks
  config.bytesPerSecond = 0;
  config.frameLimit = 30;  // per start request
  camera->Stream().SetConfig(config);
  manager->SetTransferSize(handle, 9 * 4096);  // one frame per transfer
  manager->SetBufferCount(handle, 40);
  camera->Stream().InjectFault(StreamFault::Random(StreamFaultKind::kDropBlock, 0.05, 3, 3));
  camera->Stream().InjectFault(StreamFault::Random(StreamFaultKind::kBusError, 0.1, 4, 2));
  ASSERT_TRUE(manager->StartAcq(handle));
  Drain(30);
  const StreamCounters faults = camera->Stream().Counters();
  ASSERT_EQ(faults.blocksDropped, 3u);
  ASSERT_EQ(faults.transferErrors, 2u);
  ASSERT_GT(faults.framesDamaged, 0u);
  ExpectStreamMatches("after the faults");

  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(camera->Unplug());
    ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
    ASSERT_TRUE(camera->Plug());
    ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
    Drain(60 + 30 * i);  // the resumed run's thirty frames
  }
  ASSERT_TRUE(manager->StopAcq(handle));
  ExpectStreamMatches("after two unplugs");
  const LumoCameraStatistics s = Read();
  EXPECT_EQ(s.removals, 2u);
  EXPECT_EQ(s.reattaches, 2u);
}

}  // namespace
}  // namespace lumo::test
