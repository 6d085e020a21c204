// Lent frames (lumo/Frame.h) on emulated cameras:
//
// - BM_LargeFrames: 20-megapixel Mono16 frames (5472 x 3648 x 2, 40 MB) at
//   the camera's 400 MB/s, with the pool sized ahead by SetFrameBytes (1)
//   or grown by the stream (0); frames taken and lost (the sum of
//   lostBefore, which the sequence gaps give, and the library's counters).
// - BM_TakeRelease: the cost of one CameraTakeFrame of a ready frame and
//   its CameraReleaseFrame (manual time: the pair alone).
// - BM_LeasedCpu: 1024 x 768 x 2 frames at 400 MB/s while the consumer
//   keeps the last N frames lent; CPU of the library's threads (a share of
//   one core) and frames lost.
// - BM_HeaderTimestamps: timestampNs against the emulator's record of when
//   each header went out, at the stream's default settings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "ThreadTimes.h"
#include "lumo/Frame.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;
using lumo::emulator::StreamConfig;
using Clock = std::chrono::steady_clock;

void Quiet(const char*) {}

// One emulated camera, opened, with its stream configured.
struct Camera {
  explicit Camera(const StreamConfig& config, int buffers) {
    lumo::SetConsoleSink(&Quiet);
    device = EmulatedDevice::Camera("LEASEBENCH");
    device->Stream().SetConfig(config);
    device->Plug();
    manager = std::make_unique<LumoUsbManager>();
    handle = manager->OpenDevice(manager->GetDeviceIDForIndex(0));
    manager->SetBufferCount(handle, buffers);
  }
  ~Camera() {
    manager->StopAcq(handle);
    manager->CloseDevice(handle);
  }

  std::unique_ptr<EmulatedDevice> device;
  std::unique_ptr<LumoUsbManager> manager;
  void* handle = nullptr;
};

double LibraryCpu(const std::map<int, lumo::bench::ThreadTime>& before) {
  double used = 0;
  for (const auto& [id, entry] : lumo::bench::ThreadTimes())
    if (entry.name.rfind("lumo-", 0) == 0) used += lumo::bench::Used(before, id, entry);
  return used;
}

void BM_LargeFrames(benchmark::State& state) {
  const bool sizedAhead = state.range(0) != 0;
  const auto frames = static_cast<std::uint64_t>(state.range(1));
  constexpr std::uint16_t kWidth = 5472, kHeight = 3648;
  for (auto _ : state) {
    StreamConfig config;
    config.width = kWidth;
    config.height = kHeight;
    config.pixelSize = 2;
    config.bytesPerSecond = 400000000;
    config.frameLimit = frames;
    config.serveOnSubmittingThread = false;
    Camera camera(config, 8);
    camera.manager->SetFrameBytes(camera.handle, sizedAhead ? 2ll * kWidth * kHeight : 0);
    const auto before = lumo::bench::ThreadTimes();
    const auto start = Clock::now();
    camera.manager->StartAcq(camera.handle);
    std::uint64_t taken = 0, lostBefore = 0, lastSequence = 0;
    LumoFrame frame{};
    while (camera.manager->CameraTakeFrame(camera.handle, &frame, 3000)) {
      ++taken;
      lostBefore += frame.lostBefore;
      lastSequence = frame.sequence;
      camera.manager->CameraReleaseFrame(camera.handle, frame.record);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count() - 3.0;
    state.counters["frames"] = double(taken);
    state.counters["lost_before"] = double(lostBefore);
    state.counters["lost_after_last"] = double(frames - (lastSequence + 1));
    LumoCameraStatistics counted{};
    camera.manager->GetStatistics(camera.handle, &counted);
    state.counters["lost_no_buffer"] = double(counted.framesLostNoBuffer);
    state.counters["lost_queue_full"] = double(counted.framesLostQueueFull);
    state.counters["incomplete"] = double(counted.framesIncomplete);
    state.counters["MB_per_s"] = double(taken) * 2.0 * kWidth * kHeight / 1e6 / seconds;
    state.counters["lumo_core"] = LibraryCpu(before) / seconds;
  }
}
BENCHMARK(BM_LargeFrames)
    ->ArgNames({"sized", "frames"})
    ->Args({1, 500})
    ->Args({0, 500})
    ->Args({1, 100})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_TakeRelease(benchmark::State& state) {
  constexpr int kBuffers = 64;
  StreamConfig config;
  config.width = 64;
  config.height = 64;
  config.bytesPerSecond = 0;
  config.frameLimit = kBuffers - 1;
  Camera camera(config, kBuffers);
  std::uint64_t pairs = 0;
  for (auto _ : state) {
    // A run whose frames all wait, ready, in the queue.
    camera.manager->StartAcq(camera.handle);
    camera.device->Stream().WaitUntilIdle(std::chrono::seconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    LumoFrame frame{};
    const auto start = Clock::now();
    int n = 0;
    for (; n < kBuffers - 1; ++n) {
      if (!camera.manager->CameraTakeFrame(camera.handle, &frame, 0)) break;
      camera.manager->CameraReleaseFrame(camera.handle, frame.record);
    }
    const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(n > 0 ? elapsed / n : 0);
    pairs += static_cast<std::uint64_t>(n);
    camera.manager->StopAcq(camera.handle);
  }
  state.counters["pairs"] = double(pairs);
}
BENCHMARK(BM_TakeRelease)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

void BM_LeasedCpu(benchmark::State& state) {
  const auto leased = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    StreamConfig config;
    config.width = 1024;
    config.height = 768;
    config.bytesPerSecond = 400000000;
    config.serveOnSubmittingThread = false;
    Camera camera(config, 16);
    camera.manager->StartAcq(camera.handle);
    std::deque<void*> ring;
    const auto before = lumo::bench::ThreadTimes();
    const auto start = Clock::now();
    std::uint64_t taken = 0, lost = 0;
    LumoFrame frame{};
    while (Clock::now() - start < std::chrono::seconds(10) &&
           camera.manager->CameraTakeFrame(camera.handle, &frame, 3000)) {
      if (taken > 0) lost += frame.lostBefore;
      ++taken;
      ring.push_back(frame.record);
      while (ring.size() > leased) {
        camera.manager->CameraReleaseFrame(camera.handle, ring.front());
        ring.pop_front();
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["lumo_core"] = LibraryCpu(before) / seconds;
    for (void* record : ring) camera.manager->CameraReleaseFrame(camera.handle, record);
    state.counters["frames"] = double(taken);
    state.counters["lost"] = double(lost);
    state.counters["MB_per_s"] = double(taken) * 1024 * 768 * 2 / 1e6 / seconds;
  }
}
BENCHMARK(BM_LeasedCpu)->ArgName("leased")->Arg(0)->Arg(8)->Iterations(1)->Unit(benchmark::kSecond);

void BM_HeaderTimestamps(benchmark::State& state) {
  for (auto _ : state) {
    StreamConfig config;  // the defaults: 1024 x 768 x 2 at 400 MB/s
    Camera camera(config, 16);
    camera.manager->StartAcq(camera.handle);
    std::vector<double> errors;
    LumoFrame frame{};
    while (errors.size() < 1000 && camera.manager->CameraTakeFrame(camera.handle, &frame, 3000)) {
      if (auto sent = camera.device->Stream().HeaderSentNs(frame.cameraFrameNumber))
        errors.push_back(double(frame.timestampNs - *sent) / 1e3);
      camera.manager->CameraReleaseFrame(camera.handle, frame.record);
    }
    if (errors.empty()) {
      state.SkipWithError("no frame");
      break;
    }
    std::sort(errors.begin(), errors.end());
    state.counters["frames"] = double(errors.size());
    state.counters["median_us"] = errors[errors.size() / 2];
    state.counters["p99_us"] = errors[errors.size() * 99 / 100];
    state.counters["worst_us"] = errors.back();
    state.counters["best_us"] = errors.front();
  }
}
BENCHMARK(BM_HeaderTimestamps)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
