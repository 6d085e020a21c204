// Cameras on one manager independent of each other: one camera, open when
// it was unplugged, takes about 5 s to open again when it returns (each of
// its synchronous requests waits 250 ms, as with a camera still booting),
// while the others stream to a thread taking their frames with
// CameraGetImage and answer a register write and read every 20 ms on a
// second thread each. A streaming camera sends 256 x 64 x 2 frames at 200
// frames' worth of image bytes a second; its byte rate covers each frame's
// framing too, so a frame comes about every 5.6 ms.
//
// The figures cover the slow camera's return only: from its plug until
// WaitForNoticesHandled says its re-attach has ended. A streaming camera is
// to go on at its own pace meanwhile, with no gap between frames over 20 ms
// and its register calls as fast as ever; a library that held every call
// while one camera re-opens shows a gap as long as that open.
//
// Counters, over the streaming cameras together:
//   reattach_ms          the window: plug to the end of the re-attach
//   longest_gap_ms       longest time between two frames taken in a row by
//   median_gap_ms        one taker, and the median of those times, for the
//                        gaps that overlap the window
//   frames_taken         frames handed out within the window
//   frames_sent          frames the emulated cameras finished sending in it
//   frames_lost          frame numbers skipped across the window's gaps
//   slowest_register_ms  slowest write-and-read round trip that overlaps it
//   register_calls       those round trips; register_failures of them failed
// The argument is the number of cameras, the last of them the slow one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;
using lumo::emulator::StreamConfig;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kSlowRequest{250};  // an open makes about 20 such requests
constexpr std::uint64_t kFramesPerSecond = 200;
constexpr milliseconds kRegisterPeriod{20};
constexpr std::uint32_t kNoticeTimeoutMs = 30000;
constexpr std::int64_t kRegister = 0x200;

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

void Quiet(const char*) {}

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Writes `value` to a register and reads it back.
bool RegisterRoundTrip(LumoUsbManager& manager, void* handle, std::uint8_t value) {
  std::vector<std::uint8_t> written(4, value);
  std::vector<std::uint8_t> read(4, 0);
  return manager.SetupCommand(handle, kRegister, written.data(), 4, 2000) &&
         manager.ReadCommand(handle, kRegister, read.data(), 4, 2000) && read == written;
}

struct Take {
  Clock::time_point at;
  std::uint32_t frameNumber;
};

struct RoundTrip {
  Clock::time_point start, end;
  bool ok;
};

// What the two threads of one streaming camera saw.
struct StreamingCamera {
  EmulatedDevice* device = nullptr;
  void* handle = nullptr;
  std::vector<Take> takes;
  std::vector<RoundTrip> roundTrips;
};

struct Outcome {
  bool opened = false;      // every camera opened
  bool reattached = false;  // the re-attach ended within the notice timeout
  bool slowCameraBack = false;
  double reattachMs = 0;
  std::vector<double> gaps;
  std::uint64_t taken = 0, sent = 0, lost = 0;
  double slowestRegisterMs = 0;
  std::uint64_t registerCalls = 0, registerFailures = 0;
};

// What the streaming cameras saw in [from, to].
void Summarize(const std::vector<StreamingCamera>& streaming, Clock::time_point from,
               Clock::time_point to, Outcome& outcome) {
  for (const StreamingCamera& camera : streaming) {
    const auto& takes = camera.takes;
    for (const Take& take : takes)
      if (take.at >= from && take.at <= to) ++outcome.taken;
    for (std::size_t i = 1; i < takes.size(); ++i) {
      if (takes[i].at < from || takes[i - 1].at > to) continue;
      outcome.gaps.push_back(MsBetween(takes[i - 1].at, takes[i].at));
      if (takes[i].frameNumber > takes[i - 1].frameNumber + 1)
        outcome.lost += takes[i].frameNumber - takes[i - 1].frameNumber - 1;
    }
    for (const RoundTrip& trip : camera.roundTrips) {
      if (trip.end < from || trip.start > to) continue;
      ++outcome.registerCalls;
      if (!trip.ok) ++outcome.registerFailures;
      outcome.slowestRegisterMs =
          std::max(outcome.slowestRegisterMs, MsBetween(trip.start, trip.end));
    }
  }
}

Outcome Run(int cameras) {
  lumo::SetConsoleSink(&Quiet);
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  for (int c = 0; c + 1 < cameras; ++c) {
    devices.push_back(EmulatedDevice::Camera("INDEP" + std::to_string(c)));
    StreamConfig config = devices.back()->Stream().Config();
    config.width = 256;
    config.height = 64;
    config.pixelSize = 2;
    config.bytesPerSecond = 256 * 64 * 2 * kFramesPerSecond;
    devices.back()->Stream().SetConfig(config);
  }
  devices.push_back(EmulatedDevice::Camera("INDEPSLOW"));
  EmulatedDevice& slow = *devices.back();
  // Plugged in this order, so the slow camera is the last index.
  for (auto& device : devices) device->Plug();

  Outcome outcome;
  LumoUsbManager manager;
  std::vector<void*> handles;
  for (int index = 0; index < cameras; ++index) {
    void* const handle = manager.OpenDevice(manager.GetDeviceIDForIndex(index));
    if (handle == kNone) break;
    handles.push_back(handle);
  }
  outcome.opened = static_cast<int>(handles.size()) == cameras;
  if (!outcome.opened) {
    for (void* handle : handles) manager.CloseDevice(handle);
    lumo::SetConsoleSink(nullptr);
    return outcome;
  }
  void* const slowHandle = handles.back();
  std::vector<StreamingCamera> streaming(devices.size() - 1);
  for (std::size_t c = 0; c < streaming.size(); ++c) {
    streaming[c].device = devices[c].get();
    streaming[c].handle = handles[c];
    streaming[c].takes.reserve(4096);
    streaming[c].roundTrips.reserve(1024);
    manager.StartAcq(handles[c]);
  }
  // The slow camera leaves while open, so that its return re-attaches it.
  slow.Unplug();
  lumo::emulator::WaitForNoticesHandled(kNoticeTimeoutMs);

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (StreamingCamera& own : streaming) {
    StreamingCamera* const camera = &own;
    threads.emplace_back([&stop, &manager, camera] {
      void* image = nullptr;
      while (!stop.load(std::memory_order_acquire))
        if (manager.CameraGetImage(camera->handle, &image, 1000))
          camera->takes.push_back(
              {Clock::now(), static_cast<const lumo::FrameRecordHeader*>(image)->frameNumber});
    });
    threads.emplace_back([&stop, &manager, camera] {
      for (std::uint8_t value = 1; !stop.load(std::memory_order_acquire); ++value) {
        const auto start = Clock::now();
        const bool ok = RegisterRoundTrip(manager, camera->handle, value);
        camera->roundTrips.push_back({start, Clock::now(), ok});
        std::this_thread::sleep_for(kRegisterPeriod);
      }
    });
  }

  // Frames flow for a while, then the slow camera returns.
  std::this_thread::sleep_for(milliseconds(300));
  slow.SetSlowRequests(kSlowRequest);
  std::uint64_t finishedBefore = 0;
  for (const StreamingCamera& camera : streaming)
    finishedBefore += camera.device->Stream().Counters().framesFinished;
  const auto plugged = Clock::now();
  slow.Plug();
  outcome.reattached = lumo::emulator::WaitForNoticesHandled(kNoticeTimeoutMs);
  const auto reattached = Clock::now();
  std::uint64_t finishedAfter = 0;
  for (const StreamingCamera& camera : streaming)
    finishedAfter += camera.device->Stream().Counters().framesFinished;
  stop.store(true, std::memory_order_release);
  for (auto& thread : threads) thread.join();

  slow.SetSlowRequests(milliseconds(0));
  outcome.slowCameraBack = RegisterRoundTrip(manager, slowHandle, 0x5a);
  for (const StreamingCamera& camera : streaming) manager.StopAcq(camera.handle);
  for (void* handle : handles) manager.CloseDevice(handle);
  lumo::SetConsoleSink(nullptr);

  outcome.reattachMs = MsBetween(plugged, reattached);
  outcome.sent = finishedAfter - finishedBefore;
  Summarize(streaming, plugged, reattached, outcome);
  return outcome;
}

void BM_SlowReattach(benchmark::State& state) {
  Outcome outcome;
  for (auto _ : state) outcome = Run(static_cast<int>(state.range(0)));
  if (!outcome.opened) return state.SkipWithError("a camera did not open");
  if (!outcome.reattached) return state.SkipWithError("the re-attach did not end in 30 s");
  if (!outcome.slowCameraBack) return state.SkipWithError("the slow camera did not come back");
  if (outcome.gaps.empty()) return state.SkipWithError("no frames taken during the re-attach");
  std::sort(outcome.gaps.begin(), outcome.gaps.end());
  state.counters["reattach_ms"] = outcome.reattachMs;
  state.counters["longest_gap_ms"] = outcome.gaps.back();
  state.counters["median_gap_ms"] = outcome.gaps[outcome.gaps.size() / 2];
  state.counters["frames_taken"] = double(outcome.taken);
  state.counters["frames_sent"] = double(outcome.sent);
  state.counters["frames_lost"] = double(outcome.lost);
  state.counters["slowest_register_ms"] = outcome.slowestRegisterMs;
  state.counters["register_calls"] = double(outcome.registerCalls);
  state.counters["register_failures"] = double(outcome.registerFailures);
}
BENCHMARK(BM_SlowReattach)
    ->ArgName("cameras")
    ->Arg(2)
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
