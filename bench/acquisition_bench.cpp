// Acquisition end to end: the emulated camera streams raw frames through the
// virtual backend, the image reader, the ring and the frame assembler to a
// consumer calling CameraGetImage. Reports throughput, CPU time per GB and
// frames lost (frames the camera sent that the consumer never received).
#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <memory>

#include "Log.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;

void Quiet(const char*) {}

// Streams frames of width x height x 2 bytes at `bytesPerSecond` (0: no
// limit) until `frames` were received or `seconds` passed.
void Acquire(benchmark::State& state, std::uint16_t width, std::uint16_t height,
             std::uint64_t bytesPerSecond, std::uint64_t frames, double seconds) {
  lumo::SetConsoleSink(&Quiet);
  auto camera = EmulatedDevice::Camera("E2E1");
  lumo::emulator::StreamConfig config = camera->Stream().Config();
  config.width = width;
  config.height = height;
  config.bytesPerSecond = bytesPerSecond;
  camera->Stream().SetConfig(config);
  camera->Plug();
  LumoUsbManager manager;
  void* handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  const double frameBytes = double(width) * height * 2;

  std::uint64_t received = 0;
  std::uint64_t gaps = 0;
  std::uint32_t last = 0;
  double elapsed = 0;
  double cpu = 0;
  for (auto _ : state) {
    manager.StartAcq(handle);
    const std::clock_t cpuStart = std::clock();
    const auto start = std::chrono::steady_clock::now();
    while (received < frames) {
      void* image = nullptr;
      if (!manager.CameraGetImage(handle, &image, 3000)) break;
      const auto* header = static_cast<const lumo::FrameRecordHeader*>(image);
      if (received > 0 && header->frameNumber != last + 1) gaps += header->frameNumber - last - 1;
      last = header->frameNumber;
      ++received;
      if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds)
        break;
    }
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    manager.StopAcq(handle);
  }
  const double bytes = double(received) * frameBytes;
  state.counters["frames"] = double(received);
  state.counters["fps"] = double(received) / elapsed;
  state.counters["MB_per_s"] = bytes / elapsed / 1e6;
  state.counters["cpu_s_per_GB"] = bytes > 0 ? cpu / (bytes / 1e9) : 0;
  state.counters["frames_lost"] = double(gaps);
  manager.CloseDevice(handle);
  lumo::SetConsoleSink(nullptr);
}

// No rate limit: how fast the whole path runs.
void BM_AcquireUnlimited(benchmark::State& state) {
  Acquire(state, 1024, 768, 0, 100000, 3.0);
}
BENCHMARK(BM_AcquireUnlimited)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// A camera at 400 MB/s and a consumer that keeps up: 10 000 frames, none
// may be lost.
void BM_Acquire400MBps10000Frames(benchmark::State& state) {
  Acquire(state, 512, 512, 400000000, 10000, 60.0);
}
BENCHMARK(BM_Acquire400MBps10000Frames)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
