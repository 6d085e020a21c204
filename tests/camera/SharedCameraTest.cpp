// One camera shared by several caller threads, and a camera that vanishes
// while it streams: nothing may crash, no caller may get another caller's
// answer, and no frame may carry bytes the camera did not send.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/virtual/VirtualBus.h"
#include "support/OpenCameraFixture.h"

namespace lumo::camera {
namespace {

using emulator::StreamConfig;
using emulator::StreamFault;
using emulator::StreamFaultKind;
using Bytes = std::vector<std::uint8_t>;

class SharedCamera : public test::OpenCameraFixture {
 protected:
  SharedCamera() : OpenCameraFixture("SHARE1") {}

  void* Id() { return manager->GetDeviceIDForIndex(0); }

  // Small raw frames (256 x 64 x 2: 8 data blocks) at a rate the checks keep
  // up with, at most `limit` frames a run.
  void UseSmallFrames(std::uint64_t limit, std::uint64_t bytesPerSecond) {
    StreamConfig config = camera->Stream().Config();
    config.width = 256;
    config.height = 64;
    config.frameLimit = limit;
    config.bytesPerSecond = bytesPerSecond;
    camera->Stream().SetConfig(config);
  }
};

// Register value a caller thread writes in round `round`.
Bytes ValueFor(int thread, int round) {
  return {static_cast<std::uint8_t>(thread), static_cast<std::uint8_t>(round), 0x5A,
          static_cast<std::uint8_t>(thread * 16 + round)};
}

// Writes and reads back its own register until `stop` is set or `rounds`
// rounds are done; returns the number of answers that carried a value this
// thread never wrote. Without `mayFail` the first failure ends the loop and
// every answer must be the one just asked for. With `mayFail` the camera is
// closed now and then; an answer the camera queued before a close may then
// reach the next call for the same address after the reopen (answers carry
// nothing but the address), so any value this thread wrote is accepted.
struct RegisterTally {
  std::atomic<int> failures{0};
  std::atomic<int> successes{0};
  std::atomic<int> wrong{0};
};

void RegisterCaller(LumoUsbManager& manager, void* handle, int thread, int rounds, bool mayFail,
                    const std::atomic<bool>& stop, RegisterTally& tally) {
  std::atomic<int>& failures = tally.failures;
  std::atomic<int>& successes = tally.successes;
  const std::int64_t address = 0x100 + 4 * thread;
  std::set<Bytes> acceptable = {Bytes(4, 0)};  // values the register may hold now
  int wrong = 0;
  for (int round = 0; round < rounds && !stop.load(); ++round) {
    Bytes value = ValueFor(thread, round);
    Bytes echo = value;
    if (manager.SetupCommand(handle, address, echo.data(), 4, 1000)) {
      if (mayFail ? !acceptable.count(echo) && echo != value : echo != value) ++wrong;
      if (!mayFail) acceptable.clear();
      acceptable.insert(value);
      ++successes;
    } else {
      // Sent or not, the camera may now hold either value.
      acceptable.insert(value);
      ++failures;
    }
    Bytes read(4, 0xEE);
    if (manager.ReadCommand(handle, address, read.data(), 4, 1000)) {
      if (!acceptable.count(read)) ++wrong;
      ++successes;
    } else {
      ++failures;
    }
    if (!mayFail && failures.load() != 0) break;
    // A closed camera fails calls at once: do not spin while it is.
    if (mayFail) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  tally.wrong += wrong;
}

// Starts `count` register callers, thread numbers 0 and up.
void StartRegisterCallers(std::vector<std::thread>& threads, LumoUsbManager& manager, void* handle,
                          int count, int rounds, bool mayFail, const std::atomic<bool>& stop,
                          RegisterTally& tally) {
  for (int t = 0; t < count; ++t)
    threads.emplace_back([&manager, &stop, &tally, handle, t, rounds, mayFail] {
      RegisterCaller(manager, handle, t, rounds, mayFail, stop, tally);
    });
}

TEST_F(SharedCamera, RegisterAndBufferCallersOnOneCameraEachGetTheirOwnAnswer) {
  constexpr int kThreads = 3;
  constexpr int kRounds = 60;
  // Half of the answers take a while, so that answers may come back in
  // another order than their requests went out, as a busy camera's may.
  emulator::Fault slow = emulator::Fault::Random(emulator::FaultKind::kDelay, 0.5, 3);
  slow.target = emulator::FaultTarget::kRegisterAnswers;
  slow.delay = std::chrono::milliseconds(8);
  camera->Firmware().InjectFault(slow);
  RegisterTally tally;
  const std::atomic<bool> never{false};
  std::vector<std::thread> threads;
  StartRegisterCallers(threads, *manager, handle, kThreads, kRounds, false, never, tally);
  std::atomic<int> sendFailures{0};
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    Bytes payload(450, 0x7E);
    while (sending.load())
      if (!manager->CameraSendBuffer(handle, payload.data(), 450, 1000)) ++sendFailures;
  });
  for (auto& thread : threads) thread.join();
  sending = false;
  sender.join();
  EXPECT_EQ(tally.failures.load(), 0);
  EXPECT_EQ(tally.wrong.load(), 0);
  EXPECT_EQ(tally.successes.load(), 2 * kThreads * kRounds);
  EXPECT_EQ(sendFailures.load(), 0);
}

TEST_F(SharedCamera, CommandCallersRacingCloseAndOpenNeverTouchAClosedCamera) {
  RegisterTally tally;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  StartRegisterCallers(threads, *manager, handle, 2, 250, true, done, tally);
  threads.emplace_back([&] {
    Bytes payload(300, 0x11);
    while (!done.load()) manager->CameraSendBuffer(handle, payload.data(), 300, 200);
  });
  threads.emplace_back([&] {
    Bytes chunk(2048);
    while (!done.load()) {
      int count = 2048;
      manager->CameraReadBuffer(handle, chunk.data(), &count, 50);
    }
  });
  for (int round = 0; round < 15; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * round));
    EXPECT_TRUE(manager->CloseDevice(handle));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(manager->OpenDevice(Id()), handle);
  }
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tally.wrong.load(), 0);
  EXPECT_GT(tally.successes.load(), 0);
  EXPECT_TRUE(manager->CloseDevice(handle));
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

TEST_F(SharedCamera, ConcurrentOpenCloseStartStopAndFrameWaits) {
  UseSmallFrames(0, 20000000);
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 12; ++round) {
        void* opened = manager->OpenDevice(Id());
        EXPECT_TRUE(opened == handle || opened == test::NoHandle());
        manager->StartAcq(handle);
        if ((round + t) % 3 == 0) manager->StopAcq(handle);
        if ((round + t) % 2 == 0) manager->CloseDevice(handle);
      }
    });
  std::thread taker([&] {
    while (!done.load()) {
      void* image = nullptr;
      manager->CameraGetImage(handle, &image, 20);
    }
  });
  for (auto& thread : threads) thread.join();
  done = true;
  taker.join();

  // Whatever the interleaving, the camera ends in a state it can leave.
  ASSERT_EQ(manager->OpenDevice(Id()), handle);
  ASSERT_TRUE(manager->StartAcq(handle));
  void* image = nullptr;
  EXPECT_TRUE(manager->CameraGetImage(handle, &image, 3000));
  EXPECT_TRUE(manager->CloseDevice(handle));
  const CameraState& state = State();
  EXPECT_FALSE(state.acqRunning);
  EXPECT_FALSE(state.imageReaderThread.joinable());
  EXPECT_FALSE(state.frameThread.joinable());
  EXPECT_FALSE(state.channel.responseReaderThread.joinable());
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

// True when the frame holds exactly the camera's pattern.
bool Intact(const FrameRecordHeader& frame, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i)
    if (frame.imageAddress[i] != emulator::RawImageByte(frame.frameNumber, i)) return false;
  return true;
}

TEST_F(SharedCamera, AfterAnUnplugNoStaleFrameIsHandedOutAndSendsFail) {
  // The camera vanishes in the middle of a frame, right after completing a
  // transfer: the reader's next submission is refused by the driver.
  UseSmallFrames(40, 2000000);
  manager->SetBufferCount(handle, 48);
  StreamFault unplug = StreamFault::Next(StreamFaultKind::kUnplug);
  unplug.unplugAfterBlocks = 4;
  camera->Stream().SetNextFrameNumber(1);
  ASSERT_TRUE(manager->StartAcq(handle));
  // Let a few frames through, then have the camera vanish.
  void* image = nullptr;
  ASSERT_TRUE(manager->CameraGetImage(handle, &image, 3000));
  camera->Stream().InjectFault(unplug);
  for (int i = 0; i < 300 && camera->IsPlugged(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_FALSE(camera->IsPlugged());
  const std::uint32_t lastSent = camera->Stream().Counters().lastFrameNumber;

  std::uint32_t previous = static_cast<const FrameRecordHeader*>(image)->frameNumber;
  int handedOut = 0;
  while (manager->CameraGetImage(handle, &image, 500)) {
    const auto& frame = *static_cast<const FrameRecordHeader*>(image);
    ++handedOut;
    EXPECT_GT(frame.frameNumber, previous) << "a frame handed out again";
    EXPECT_LT(frame.frameNumber, lastSent) << "the vanished frame was completed";
    EXPECT_TRUE(Intact(frame, 256 * 64 * 2)) << "frame " << frame.frameNumber;
    previous = frame.frameNumber;
    ASSERT_LT(handedOut, 40);
  }
  Bytes payload(10, 1);
  EXPECT_FALSE(manager->CameraSendBuffer(handle, payload.data(), 10, 200));
  EXPECT_TRUE(manager->CloseDevice(handle));
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

// Frame users and the closer take turns: closing a camera releases its
// frame pool, so no frame may be in use then (frame addresses stay valid
// only until acquisition stops).
class FrameUseGate {
 public:
  void Enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !closing_; });
    ++users_;
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --users_;
    changed_.notify_all();
  }
  void BeginClose() {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.wait(lock, [&] { return users_ == 0; });
  }
  void EndClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closing_ = false;
  int users_ = 0;
};

int SoakCycles() {
  const char* text = std::getenv("LUMO_SOAK_CYCLES");
  const int cycles = text ? std::atoi(text) : 0;
  return cycles > 0 ? cycles : 30;
}

// Two threads take frames and check them against the camera's pattern, one
// writes and reads registers, one sends buffer bytes, while the acquiring
// camera is unplugged and plugged back in, cycle after cycle. Nobody calls
// anything to bring it back: frames must resume after every replug on the
// same handle. LUMO_SOAK_CYCLES sets the number of cycles (30).
TEST(Soak, FourCallersThroughUnplugAndReplugWhileAcquiring) {
  const int cycles = SoakCycles();
  auto camera = emulator::EmulatedDevice::Camera("SOAK1");
  ASSERT_TRUE(camera->Plug());
  LumoUsbManager manager;
  void* const handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  ASSERT_NE(handle, test::NoHandle());
  StreamConfig config = camera->Stream().Config();
  config.width = 256;
  config.height = 64;
  config.frameLimit = 40;  // fewer than the pool holds: no buffer is refilled while in use
  config.bytesPerSecond = 2000000;
  camera->Stream().SetConfig(config);
  manager.SetBufferCount(handle, 48);

  FrameUseGate gate;
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0}, corrupt{0}, repeated{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t)
    callers.emplace_back([&] {
      std::uint32_t last = 0;
      while (!stop.load()) {
        gate.Enter();
        void* image = nullptr;
        if (manager.CameraGetImage(handle, &image, 100)) {
          const auto& frame = *static_cast<const FrameRecordHeader*>(image);
          ++frames;
          if (!Intact(frame, 256 * 64 * 2)) ++corrupt;
          if (frame.frameNumber <= last) ++repeated;
          last = frame.frameNumber;
        }
        gate.Leave();
      }
    });
  RegisterTally registers;
  StartRegisterCallers(callers, manager, handle, 1, 1 << 30, true, stop, registers);
  std::atomic<int> sent{0};
  callers.emplace_back([&] {
    Bytes payload(300, 0x33);
    Bytes sink(2048);
    while (!stop.load()) {
      if (manager.CameraSendBuffer(handle, payload.data(), 300, 200))
        ++sent;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      int count = 2048;
      manager.CameraReadBuffer(handle, sink.data(), &count, 0);
    }
  });

  // Waits until a frame arrives after `before` frames were counted.
  const auto resumed = [&](int before) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (frames.load() <= before && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return frames.load() > before;
  };
  std::mt19937 random(5);
  int stalled = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(manager.StartAcq(handle));
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (!resumed(frames.load())) ++stalled;
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 200));
    // Removal releases the run's frame buffers: no frame may be in use then.
    gate.BeginClose();
    ASSERT_TRUE(camera->Unplug());
    ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
    gate.EndClose();
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    ASSERT_TRUE(camera->Plug());
    ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
  }
  EXPECT_TRUE(resumed(frames.load())) << "no frame after the last replug";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(manager.DeviceCount(), 1);
  EXPECT_TRUE(manager.CloseDevice(handle));
  std::cout << "soak: " << cycles << " cycles in " << seconds << " s; " << frames.load()
            << " frames, " << corrupt.load() << " corrupted; " << registers.successes.load()
            << " register calls answered, " << registers.failures.load() << " failed; "
            << sent.load() << " buffer sends" << std::endl;

  EXPECT_EQ(stalled, 0) << "cycles whose frames did not resume";
  EXPECT_EQ(corrupt.load(), 0);
  EXPECT_EQ(repeated.load(), 0);
  EXPECT_EQ(registers.wrong.load(), 0);
  EXPECT_GT(registers.successes.load(), cycles);
  EXPECT_GT(sent.load(), 0);
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

}  // namespace
}  // namespace lumo::camera
