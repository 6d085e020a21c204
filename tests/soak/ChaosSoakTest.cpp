// The chaos soak: four emulated cameras used at once by many threads while
// a driver thread unplugs and replugs them at random moments, in random
// order, with random slow opens, refused opens, bus errors and lost
// transfers. Per camera one thread takes frames and checks every byte
// against the emulator's pattern, one writes and reads back registers, one
// echoes bytes through the buffer channel, and one opens and closes the
// camera or starts and stops acquisition at random.
//
// Checked: no corrupted or stale frame is handed out; no call lasts longer
// than its time limit plus a second; at the end every camera plugged in is
// listed once, every thread is joined, and the process's threads, kernel
// handles and outstanding requests are back to where they started (leak
// checkers see what memory stays behind).
//
// Runs for LUMO_CHAOS_SECONDS seconds (60 when unset, 10 in cross builds).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#endif

#include "lumo/CameraStatistics.h"
#include "lumo/DeviceDescription.h"
#include "lumo/FrameRecord.h"
#include "lumo/Log.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "platform/virtual/VirtualBus.h"
#include "usb/DevicePath.h"

namespace lumo {
namespace {

using emulator::EmulatedDevice;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr int kCameras = 4;
constexpr std::uint16_t kWidth = 256;
constexpr std::uint16_t kHeight = 64;
constexpr std::uint32_t kPixelSize = 2;
constexpr std::uint32_t kImageBytes = kWidth * kHeight * kPixelSize;
constexpr int kCallTimeoutMs = 1000;
// Open, close, start and stop have no time limit of their own; with every
// request of a slow camera delayed up to 80 ms an open takes about 2 s.
constexpr double kLifecycleLimitMs = 10000;

void* None() { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Threads of the process, where the system tells; -1 elsewhere.
int ThreadCount() {
#if defined(__linux__)
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
#else
  return -1;
#endif
}

// Cross builds, whose tests run under Wine, take a shorter default.
#ifndef LUMO_CHAOS_DEFAULT_SECONDS
#define LUMO_CHAOS_DEFAULT_SECONDS 60
#endif

int SoakSeconds() {
  const char* text = std::getenv("LUMO_CHAOS_SECONDS");
  const int seconds = text ? std::atoi(text) : 0;
  return seconds > 0 ? seconds : LUMO_CHAOS_DEFAULT_SECONDS;
}

struct Counts {
  std::atomic<std::uint64_t> framesChecked{0};
  std::atomic<std::uint64_t> framesCorrupt{0};
  std::atomic<std::uint64_t> framesStale{0};
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> callsFailed{0};
  std::atomic<std::uint64_t> callsTooLong{0};
  std::atomic<std::uint64_t> registerMismatches{0};
  std::atomic<std::uint64_t> echoMismatches{0};
  std::atomic<std::uint64_t> unplugs{0};
  std::atomic<std::uint64_t> plugs{0};
  std::atomic<std::uint64_t> slowOpens{0};
  std::atomic<std::uint64_t> refusedOpenFaults{0};
  std::atomic<std::uint64_t> streamFaults{0};
  std::atomic<std::uint64_t> lifecycleActions{0};
  std::atomic<std::uint64_t> notices{0};
  std::atomic<std::uint64_t> messages{0};
  std::atomic<double> longestCallMs{0};
};

// One emulated camera and what its threads share.
struct Slot {
  std::unique_ptr<EmulatedDevice> device;
  std::string path;  // lower case
  std::atomic<void*> handle{nullptr};
  // Held while a frame is taken and checked, and around stop and close,
  // which give the frame's buffer back: a frame stays valid until then.
  std::mutex frameUse;
  // Serialises the plug state with the driver thread's end-of-run replug.
  std::mutex plugLock;
  bool plugged = true;  // under plugLock
  // What happened to the camera lately, for the report of a failure.
  std::mutex eventLock;
  std::deque<std::string> events;
  void Note(const std::string& event) {
    std::lock_guard<std::mutex> lock(eventLock);
    const auto now =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count() %
        1000000;
    events.push_back(std::to_string(now) + " " + event);
    if (events.size() > 24) events.pop_front();
  }
  std::string Events() {
    std::lock_guard<std::mutex> lock(eventLock);
    std::string text;
    for (const std::string& event : events) text += "    " + event + "\n";
    return text;
  }
};

class ChaosSoak : public ::testing::Test {
 protected:
  ChaosSoak() {
    for (int i = 0; i < kCameras; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->device = EmulatedDevice::Camera("CHAOS" + std::to_string(i));
      slot->path = usb::LowerCase(slot->device->Path());
      emulator::StreamConfig config = slot->device->Stream().Config();
      config.width = kWidth;
      config.height = kHeight;
      config.pixelSize = kPixelSize;
      config.bytesPerSecond = 4000000;  // about 120 frames a second each
      slot->device->Stream().SetConfig(config);
      slots.push_back(std::move(slot));
    }
  }

  // Times a call and counts it; `limitMs` is its time limit plus a second.
  template <typename Call>
  bool Timed(double limitMs, Call call) {
    const auto start = Clock::now();
    const bool ok = call();
    const double spent = MsSince(start);
    counts.calls.fetch_add(1, std::memory_order_relaxed);
    if (!ok) counts.callsFailed.fetch_add(1, std::memory_order_relaxed);
    if (spent > limitMs) {
      counts.callsTooLong.fetch_add(1, std::memory_order_relaxed);
      std::fprintf(stderr, "a call took %.0f ms (limit %.0f ms)\n", spent, limitMs);
    }
    double longest = counts.longestCallMs.load(std::memory_order_relaxed);
    while (spent > longest && !counts.longestCallMs.compare_exchange_weak(longest, spent)) {
    }
    return ok;
  }

  std::uint64_t Removals(void* handle) {
    LumoCameraStatistics statistics{};
    return manager->GetStatistics(handle, &statistics) ? statistics.removals : ~0ull;
  }

  void TakeFrames(Slot& slot, std::uint32_t& lastFrame, bool& anyFrame,
                  std::vector<std::uint32_t>& seenFrames) {
    std::lock_guard<std::mutex> use(slot.frameUse);
    void* handle = slot.handle.load(std::memory_order_acquire);
    void* image = nullptr;
    if (!Timed(kCallTimeoutMs + 1000.0,
               [&] { return manager->CameraGetImage(handle, &image, kCallTimeoutMs); }))
      return;
    const auto* record = static_cast<const std::uint8_t*>(image);
    FrameRecordHeader header;
    std::memcpy(&header, record, sizeof header);
    bool intact = header.width == kWidth && header.height == kHeight;
    for (std::uint32_t i = 0; intact && i < kImageBytes; ++i)
      intact = record[kRawImageOffset + i] == emulator::RawImageByte(header.frameNumber, i);
    if (!intact) {
      counts.framesCorrupt.fetch_add(1, std::memory_order_relaxed);
      std::fprintf(stderr, "%s: frame %u corrupt\n", slot.path.c_str(), header.frameNumber);
    }
    // Frame numbers only grow, across stops, closes and unplugs: one seen
    // again, or an older one, is a stale frame.
    if (anyFrame && header.frameNumber <= lastFrame) {
      counts.framesStale.fetch_add(1, std::memory_order_relaxed);
      // Whether this very frame was handed out before: a record handed
      // out again, or a frame never seen.
      const bool seen =
          std::find(seenFrames.begin(), seenFrames.end(), header.frameNumber) != seenFrames.end();
      LumoCameraStatistics st{};
      manager->GetStatistics(handle, &st);
      const manager::CameraRef camera = manager::CameraFor(manager::StateOf(*manager), handle);
      slot.Note(std::string("the camera is ") +
                (camera ? camera::PhaseName(camera->Lifecycle()) : "not registered"));
      LumoDeviceDescription description{};
      if (manager->DescribeDevice(handle, &description))
        slot.Note(std::string("its device is ") + description.devicePath);
      if (camera) slot.Note("its path is " + camera->State().path);
      slot.Note("stale frame " + std::to_string(header.frameNumber) + " completed " +
                std::to_string(st.framesCompleted) + " incomplete " +
                std::to_string(st.framesIncomplete) + " nobuf " +
                std::to_string(st.framesLostNoBuffer) + " qfull " +
                std::to_string(st.framesLostQueueFull) + " xfer errors " +
                std::to_string(st.transferErrors) + " removals " + std::to_string(st.removals) +
                " reattaches " + std::to_string(st.reattaches));
      std::fprintf(stderr, "%s: frame %u after %u (record %p, %s); lately:\n%s", slot.path.c_str(),
                   header.frameNumber, lastFrame, image,
                   seen ? "handed out before" : "not handed out before", slot.Events().c_str());
    }
    seenFrames.push_back(header.frameNumber);
    if (seenFrames.size() > 100000)
      seenFrames.erase(seenFrames.begin(), seenFrames.begin() + 50000);
    if (!anyFrame || header.frameNumber != lastFrame + 1)
      slot.Note("frame " + std::to_string(header.frameNumber) + " after " +
                std::to_string(lastFrame));
    lastFrame = header.frameNumber;
    anyFrame = true;
    counts.framesChecked.fetch_add(1, std::memory_order_relaxed);
  }

  void FrameThread(Slot& slot) {
    std::uint32_t lastFrame = 0;
    bool anyFrame = false;
    std::vector<std::uint32_t> seenFrames;
    while (!stop.load(std::memory_order_acquire)) {
      TakeFrames(slot, lastFrame, anyFrame, seenFrames);
      // A camera that is away or closed fails at once: do not spin.
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  void RegisterThread(Slot& slot, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uint32_t round = 0;
    while (!stop.load(std::memory_order_acquire)) {
      void* handle = slot.handle.load(std::memory_order_acquire);
      Bytes written(4);
      for (auto& byte : written) byte = static_cast<std::uint8_t>(random());
      Bytes read(4, 0);
      // Answers are matched to calls by address: a late answer to an
      // earlier call on the same address could be taken for this one's, so
      // each round uses the next of 64 addresses.
      const std::int64_t address = 0x300 + 4 * (round++ % 64);
      const std::uint64_t removalsBefore = Removals(handle);
      const bool wrote = Timed(kCallTimeoutMs + 1000.0, [&] {
        return manager->SetupCommand(handle, address, written.data(), 4, kCallTimeoutMs);
      });
      const bool gotBack =
          wrote && Timed(kCallTimeoutMs + 1000.0, [&] {
            return manager->ReadCommand(handle, address, read.data(), 4, kCallTimeoutMs);
          });
      // A replug in between may have brought the camera back at power-on.
      if (gotBack && read != written && Removals(handle) == removalsBefore) {
        counts.registerMismatches.fetch_add(1, std::memory_order_relaxed);
        std::fprintf(stderr, "%s: register read back differs\n", slot.path.c_str());
      }
      // Calls on a camera that is away fail at once: pace them.
      std::this_thread::sleep_for(milliseconds(gotBack ? 2 + random() % 8 : 10));
    }
  }

  void EchoThread(Slot& slot, std::uint32_t seed) {
    std::mt19937 random(seed);
    bool clean = true;          // no bytes of an earlier echo can be pending
    std::deque<Bytes> history;  // what the last rounds sent, oldest first
    while (!stop.load(std::memory_order_acquire)) {
      void* handle = slot.handle.load(std::memory_order_acquire);
      if (!clean) {
        // Bytes of an interrupted echo may still come: drain them.
        Bytes drain(512);
        int length = 512;
        Timed(200 + 1000.0,
              [&] { return manager->CameraReadBuffer(handle, drain.data(), &length, 200); });
        clean = true;
        continue;
      }
      Bytes sent(1 + random() % 300);
      for (auto& byte : sent) byte = static_cast<std::uint8_t>(random());
      const std::uint64_t removalsBefore = Removals(handle);
      const auto sendStart = Clock::now();
      const bool sentOk = Timed(kCallTimeoutMs + 1000.0, [&] {
        return manager->CameraSendBuffer(handle, sent.data(), static_cast<int>(sent.size()),
                                         kCallTimeoutMs);
      });
      // Bytes that reached the camera may come back late, even after the
      // camera was closed and opened again (the channel keeps what it
      // received); a send refused at once (the camera away or closed)
      // reached nothing.
      if (sentOk || MsSince(sendStart) > 2.0) {
        history.push_back(sent);
        if (history.size() > 64) history.pop_front();
      }
      if (!sentOk) {
        clean = false;
        std::this_thread::sleep_for(milliseconds(5));
        continue;
      }
      Bytes received;
      while (received.size() < sent.size()) {
        Bytes part(sent.size() - received.size());
        int length = static_cast<int>(part.size());
        if (!Timed(kCallTimeoutMs + 1000.0, [&] {
              return manager->CameraReadBuffer(handle, part.data(), &length, kCallTimeoutMs);
            }))
          break;
        received.insert(received.end(), part.begin(), part.begin() + length);
      }
      if (received.size() != sent.size()) {
        clean = false;
        std::this_thread::sleep_for(milliseconds(5));
        continue;
      }
      if (received != sent && Removals(handle) == removalsBefore) {
        // The late echo of an earlier round (its read timed out while the
        // camera was slow) is no fault: such bytes stand in what was sent
        // before, in order. Bytes found nowhere there were changed.
        Bytes before;
        for (const Bytes& round : history) before.insert(before.end(), round.begin(), round.end());
        if (std::search(before.begin(), before.end(), received.begin(), received.end()) ==
            before.end()) {
          counts.echoMismatches.fetch_add(1, std::memory_order_relaxed);
          std::fprintf(
              stderr, "%s: echo of %zu bytes differs at byte %zu\n", slot.path.c_str(), sent.size(),
              static_cast<std::size_t>(
                  std::mismatch(sent.begin(), sent.end(), received.begin()).first - sent.begin()));
        }
        clean = false;
      }
      std::this_thread::sleep_for(milliseconds(2 + random() % 8));
    }
  }

  void LifecycleThread(Slot& slot, std::uint32_t seed) {
    std::mt19937 random(seed);
    while (!stop.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(milliseconds(100 + random() % 900));
      if (stop.load(std::memory_order_acquire)) break;
      void* handle = slot.handle.load(std::memory_order_acquire);
      counts.lifecycleActions.fetch_add(1, std::memory_order_relaxed);
      if (random() % 3 == 0) {
        // Close and open again by the camera's path.
        {
          std::lock_guard<std::mutex> use(slot.frameUse);
          slot.Note("close");
          Timed(kLifecycleLimitMs, [&] { return manager->CloseDevice(handle); });
        }
        void* reopened = None();
        for (int attempt = 0;
             attempt < 50 && reopened == None() && !stop.load(std::memory_order_acquire);
             ++attempt) {
          Timed(kLifecycleLimitMs, [&] {
            reopened = manager->OpenDevice(const_cast<char*>(slot.path.c_str()));
            return reopened != None();
          });
          if (reopened == None()) std::this_thread::sleep_for(milliseconds(50));
        }
        if (reopened == None()) {
          // Not plugged in now: the handle stays for the calls, which fail.
          continue;
        }
        slot.handle.store(reopened, std::memory_order_release);
        slot.Note("opened");
        manager->SetPixelSize(reopened, static_cast<int>(kPixelSize));
        Timed(kLifecycleLimitMs, [&] { return manager->StartAcq(reopened); });
      } else {
        {
          std::lock_guard<std::mutex> use(slot.frameUse);
          slot.Note("stop");
          Timed(kLifecycleLimitMs, [&] { return manager->StopAcq(handle); });
        }
        slot.Note("start");
        Timed(kLifecycleLimitMs, [&] { return manager->StartAcq(handle); });
      }
    }
  }

  void DriverThread(std::uint32_t seed, Clock::time_point end) {
    std::mt19937 random(seed);
    while (Clock::now() < end) {
      std::this_thread::sleep_for(milliseconds(20 + random() % 300));
      Slot& slot = *slots[random() % slots.size()];
      std::lock_guard<std::mutex> plug(slot.plugLock);
      EmulatedDevice& device = *slot.device;
      const unsigned choice = random() % 10;
      if (choice < 2) {
        // A lost transfer or a bus error in the stream.
        const auto kind = random() % 2 ? emulator::StreamFaultKind::kBusError
                                       : emulator::StreamFaultKind::kDropBlock;
        device.Stream().InjectFault(emulator::StreamFault::Next(kind));
        slot.Note(kind == emulator::StreamFaultKind::kBusError ? "bus error" : "block dropped");
        counts.streamFaults.fetch_add(1, std::memory_order_relaxed);
      } else if (slot.plugged) {
        slot.Note("unplug");
        ASSERT_TRUE(device.Unplug());
        slot.plugged = false;
        counts.unplugs.fetch_add(1, std::memory_order_relaxed);
      } else {
        device.SetSlowRequests(milliseconds(0));
        const unsigned how = random() % 4;
        if (how == 0) {
          device.SetSlowRequests(milliseconds(10 + random() % 70));
          counts.slowOpens.fetch_add(1, std::memory_order_relaxed);
        } else if (how == 1) {
          device.RefuseOpens(milliseconds(100 + random() % 400));
          counts.refusedOpenFaults.fetch_add(1, std::memory_order_relaxed);
        }
        slot.Note(how == 0 ? "plug (slow)" : how == 1 ? "plug (refusing opens)" : "plug");
        ASSERT_TRUE(device.Plug());
        slot.plugged = true;
        counts.plugs.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

  std::vector<std::unique_ptr<Slot>> slots;
  std::unique_ptr<LumoUsbManager> manager;
  std::atomic<bool> stop{false};
  Counts counts;
};

TEST_F(ChaosSoak, CamerasSurviveRandomUnplugsSlowOpensAndFaultsWhileInUse) {
  const int seconds = SoakSeconds();
  const std::uint32_t seed = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count());
  std::printf("chaos soak: %d s, seed %u\n", seconds, seed);
  // The library's messages are counted, not printed: a soak makes many.
  LumoSetLogSink(
      [](void* context, void*, const char*) {
        static_cast<Counts*>(context)->messages.fetch_add(1, std::memory_order_relaxed);
      },
      &counts);
  for (auto& slot : slots) ASSERT_TRUE(slot->device->Plug());
  manager = std::make_unique<LumoUsbManager>();
  manager->SetDeviceChangeCallback(
      [](void* context, int, const char*, void*) {
        static_cast<Counts*>(context)->notices.fetch_add(1, std::memory_order_relaxed);
      },
      &counts);
  ASSERT_EQ(manager->DeviceCount(), kCameras);
  // Where the process stands with every camera closed, once each camera's
  // emulated stream has started (its thread lives as long as the device).
  for (auto& slot : slots) {
    void* handle = manager->OpenDevice(const_cast<char*>(slot->path.c_str()));
    ASSERT_NE(handle, None());
    ASSERT_TRUE(manager->StartAcq(handle));
    void* image = nullptr;
    ASSERT_TRUE(manager->CameraGetImage(handle, &image, 5000));
    ASSERT_TRUE(manager->CloseDevice(handle));
  }
  const int threadsBefore = ThreadCount();
  const std::size_t handlesBefore = platform::virt::OpenHandleCount();

  for (auto& slot : slots) {
    void* handle = manager->OpenDevice(const_cast<char*>(slot->path.c_str()));
    ASSERT_NE(handle, None());
    slot->handle = handle;
    manager->SetPixelSize(handle, static_cast<int>(kPixelSize));
    ASSERT_TRUE(manager->StartAcq(handle));
  }

  std::vector<std::thread> threads;
  std::uint32_t threadSeed = seed;
  for (auto& slot : slots) {
    Slot& s = *slot;
    threads.emplace_back([this, &s] { FrameThread(s); });
    threads.emplace_back([this, &s, k = ++threadSeed] { RegisterThread(s, k); });
    threads.emplace_back([this, &s, k = ++threadSeed] { EchoThread(s, k); });
    threads.emplace_back([this, &s, k = ++threadSeed] { LifecycleThread(s, k); });
  }
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::thread driver([this, k = ++threadSeed, end] { DriverThread(k, end); });
  driver.join();

  // Everything back: plugged, no faults, then the notices handled.
  for (auto& slot : slots) {
    std::lock_guard<std::mutex> plug(slot->plugLock);
    slot->device->SetSlowRequests(milliseconds(0));
    slot->device->RefuseOpens(milliseconds(0));
    slot->device->Stream().ClearFaults();
    if (!slot->plugged) {
      ASSERT_TRUE(slot->device->Plug());
      slot->plugged = true;
    }
  }
  ASSERT_TRUE(emulator::WaitForNoticesHandled(60000));
  stop.store(true, std::memory_order_release);
  const auto joinStart = Clock::now();
  for (std::thread& thread : threads) thread.join();
  const double joinMs = MsSince(joinStart);

  // Every camera plugged in is listed once, and opens.
  EXPECT_EQ(manager->DeviceCount(), kCameras);
  std::set<std::string> listed;
  for (int index = 0; index < kCameras; ++index) {
    void* id = manager->GetDeviceIDForIndex(index);
    ASSERT_NE(id, None());
    listed.insert(static_cast<const char*>(id));
  }
  for (auto& slot : slots) {
    EXPECT_EQ(listed.count(slot->path), 1u) << slot->path;
    void* handle = manager->OpenDevice(const_cast<char*>(slot->path.c_str()));
    ASSERT_NE(handle, None()) << slot->path;
    EXPECT_TRUE(manager->CloseDevice(handle));
    // Handles of earlier runs are closed too (a closed camera's close is a
    // no-op; a stale handle is simply not found).
    manager->CloseDevice(slot->handle.load());
  }
  ASSERT_TRUE(manager::StateOf(*manager).hotplugWork.WaitIdle(std::chrono::seconds(30)));

  std::printf(
      "chaos soak, %d s: %llu unplugs, %llu plugs (%llu slow, %llu refusing opens), %llu "
      "stream faults, %llu open/close or start/stop actions, %llu notices, %llu log messages; "
      "%llu frames checked byte for byte; %llu calls (%llu failed, longest %.0f ms); threads "
      "joined in %.0f ms\n",
      seconds, static_cast<unsigned long long>(counts.unplugs.load()),
      static_cast<unsigned long long>(counts.plugs.load()),
      static_cast<unsigned long long>(counts.slowOpens.load()),
      static_cast<unsigned long long>(counts.refusedOpenFaults.load()),
      static_cast<unsigned long long>(counts.streamFaults.load()),
      static_cast<unsigned long long>(counts.lifecycleActions.load()),
      static_cast<unsigned long long>(counts.notices.load()),
      static_cast<unsigned long long>(counts.messages.load()),
      static_cast<unsigned long long>(counts.framesChecked.load()),
      static_cast<unsigned long long>(counts.calls.load()),
      static_cast<unsigned long long>(counts.callsFailed.load()), counts.longestCallMs.load(),
      joinMs);
  EXPECT_EQ(counts.framesCorrupt.load(), 0u);
  EXPECT_EQ(counts.framesStale.load(), 0u);
  EXPECT_EQ(counts.callsTooLong.load(), 0u);
  EXPECT_EQ(counts.registerMismatches.load(), 0u);
  EXPECT_EQ(counts.echoMismatches.load(), 0u);
  EXPECT_GT(counts.framesChecked.load(), 0u);
  EXPECT_GT(counts.unplugs.load(), 0u);

  // Back where it started: no camera thread, handle or request is left.
  if (threadsBefore >= 0) {
    // A hot-plug worker that has said it ended may be leaving still.
    int threadsNow = ThreadCount();
    for (int i = 0; i < 500 && threadsNow != threadsBefore; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
      threadsNow = ThreadCount();
    }
    EXPECT_EQ(threadsNow, threadsBefore);
  }
  EXPECT_EQ(platform::virt::OpenHandleCount(), handlesBefore);
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
  manager->SetDeviceChangeCallback(nullptr, nullptr);
  LumoSetLogSink(nullptr, nullptr);
}

}  // namespace
}  // namespace lumo
