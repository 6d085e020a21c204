// Acquisition end to end: emulated cameras stream frames through the
// virtual backend, the image reader, the ring and the frame assembler to one
// consumer thread per camera calling CameraGetImage.
//
// Each benchmark reports MB/s (image bytes handed out, all cameras),
// frames, frames lost (frame numbers the consumer never saw), and CPU from
// per-thread times: the library's threads (lumo_cpu_per_GB, lumo_core: the
// share of one core they used; reader_core, assembler_core and
// response_core apart) and everything else but the consumers, which is the
// emulator and the virtual backend (emulator_cpu_per_GB). The second
// argument is the transfer size in bytes.
//
// Per-thread times come from /proc (Linux, ThreadTimes.h); elsewhere the
// CPU counters read 0.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "ThreadTimes.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/Platform.h"

namespace {

using lumo::emulator::EmulatedDevice;
using lumo::emulator::StreamConfig;
using lumo::emulator::StreamMode;
using Clock = std::chrono::steady_clock;

void Quiet(const char*) {}

using lumo::bench::ThreadTime;
using lumo::bench::ThreadTimes;

struct CpuSplit {
  double reader = 0, assembler = 0, response = 0, library = 0, others = 0;
};

// CPU used between two snapshots, by kind of thread. Consumers are left
// out: they stand for the application.
CpuSplit CpuBetween(const std::map<int, ThreadTime>& before,
                    const std::map<int, ThreadTime>& after) {
  CpuSplit split;
  for (const auto& [id, entry] : after) {
    const double used = lumo::bench::Used(before, id, entry);
    if (entry.name == "consumer") continue;
    if (entry.name.rfind("lumo-", 0) == 0) {
      split.library += used;
      if (entry.name == "lumo-reader") split.reader += used;
      if (entry.name == "lumo-assembler") split.assembler += used;
      if (entry.name == "lumo-response") split.response += used;
    } else {
      split.others += used;
    }
  }
  return split;
}

// ------------------------------------------------------------- a session

struct Session {
  int cameras = 1;
  StreamMode mode = StreamMode::kRaw;
  std::uint16_t width = 512, height = 512;  // raw frames, 2 bytes per pixel
  std::uint64_t bytesPerSecond = 0;         // per camera; 0: no limit
  // Off for the CPU figures: the emulated camera then does its work on its
  // own thread, as a real device and its driver do, and the library's
  // threads carry the library's work alone.
  bool serveOnSubmittingThread = false;
  std::uint64_t framesPerCamera = 10000;
  double seconds = 60;
  int transferSize = 4096;
};

struct Outcome {
  std::uint64_t frames = 0, lost = 0;
  double bytes = 0, seconds = 0;
  CpuSplit cpu;
};

// Bytes of image a frame hands out. Raw frames give their bytes per pixel
// in `depth`; line-packet frames their bits per pixel.
double ImageBytes(const lumo::FrameRecordHeader& frame, StreamMode mode) {
  const double perPixel = mode == StreamMode::kRaw ? frame.depth : (frame.depth + 7) / 8;
  return double(frame.width) * frame.height * perPixel;
}

Outcome Run(const Session& session) {
  lumo::SetConsoleSink(&Quiet);
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  for (int c = 0; c < session.cameras; ++c) {
    devices.push_back(EmulatedDevice::Camera("BENCH" + std::to_string(c)));
    StreamConfig config = devices.back()->Stream().Config();
    config.mode = session.mode;
    config.width = session.width;
    config.height = session.height;
    config.bytesPerSecond = session.bytesPerSecond;
    config.serveOnSubmittingThread = session.serveOnSubmittingThread;
    devices.back()->Stream().SetConfig(config);
    devices.back()->Plug();
  }
  LumoUsbManager manager;
  std::vector<void*> handles;
  for (int index = 0; index < 256 && int(handles.size()) < session.cameras; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id == reinterpret_cast<void*>(~std::uintptr_t{0})) continue;
    void* handle = manager.OpenDevice(id);
    manager.SetTransferSize(handle, session.transferSize);
    manager.SetBufferCount(handle, 16);
    handles.push_back(handle);
  }

  Outcome outcome;
  std::atomic<std::uint64_t> frames{0}, lost{0};
  std::vector<double> bytes(handles.size(), 0.0);
  for (void* handle : handles) manager.StartAcq(handle);
  const auto before = ThreadTimes();
  const auto start = Clock::now();
  std::vector<std::thread> consumers;
  for (std::size_t c = 0; c < handles.size(); ++c)
    consumers.emplace_back([&, c] {
      lumo::platform::NameCurrentThread("consumer");
      std::uint64_t taken = 0;
      std::uint32_t last = 0;
      while (taken < session.framesPerCamera) {
        void* image = nullptr;
        if (!manager.CameraGetImage(handles[c], &image, 3000)) break;
        const auto& frame = *static_cast<const lumo::FrameRecordHeader*>(image);
        if (taken > 0 && frame.frameNumber > last + 1) lost += frame.frameNumber - last - 1;
        last = frame.frameNumber;
        bytes[c] += ImageBytes(frame, session.mode);
        ++taken;
        if (std::chrono::duration<double>(Clock::now() - start).count() > session.seconds) break;
      }
      frames += taken;
    });
  for (auto& consumer : consumers) consumer.join();
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.cpu = CpuBetween(before, ThreadTimes());
  for (void* handle : handles) {
    manager.StopAcq(handle);
    manager.CloseDevice(handle);
  }
  outcome.frames = frames;
  outcome.lost = lost;
  for (double b : bytes) outcome.bytes += b;
  lumo::SetConsoleSink(nullptr);
  return outcome;
}

void Report(benchmark::State& state, const Outcome& outcome) {
  const double gigabytes = outcome.bytes / 1e9;
  const double seconds = std::max(outcome.seconds, 1e-9);
  state.counters["MB_per_s"] = outcome.bytes / seconds / 1e6;
  state.counters["frames"] = double(outcome.frames);
  state.counters["frames_lost"] = double(outcome.lost);
  state.counters["lumo_cpu_per_GB"] = gigabytes > 0 ? outcome.cpu.library / gigabytes : 0;
  state.counters["lumo_core"] = outcome.cpu.library / seconds;
  state.counters["reader_core"] = outcome.cpu.reader / seconds;
  state.counters["assembler_core"] = outcome.cpu.assembler / seconds;
  state.counters["response_core"] = outcome.cpu.response / seconds;
  state.counters["emulator_cpu_per_GB"] = gigabytes > 0 ? outcome.cpu.others / gigabytes : 0;
}

void RunSession(benchmark::State& state, Session session) {
  session.transferSize = static_cast<int>(state.range(1));
  Outcome outcome;
  for (auto _ : state) outcome = Run(session);
  Report(state, outcome);
}

// Cameras at 400 MB/s each, 10 000 frames of 512 x 512 x 2 each.
void BM_Cameras400MBps(benchmark::State& state) {
  Session session;
  session.cameras = static_cast<int>(state.range(0));
  session.bytesPerSecond = 400000000;
  RunSession(state, session);
}
BENCHMARK(BM_Cameras400MBps)
    ->ArgNames({"cameras", "transfer"})
    ->Args({1, 4096})
    ->Args({1, 1 << 20})
    ->Args({2, 1 << 20})
    ->Args({3, 1 << 20})
    ->Args({4, 4096})
    ->Args({4, 1 << 20})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// One camera as fast as the whole path runs, for 5 seconds: raw frames of
// 1024 x 768 x 2, or line-packet frames of 1000 x 1000 x 1.
void BM_AcquireUnlimited(benchmark::State& state) {
  Session session;
  // Third argument 1: the emulator serves requests on the reader's thread
  // (its work then counts as the reader's).
  session.serveOnSubmittingThread = state.range(2) != 0;
  session.width = 1024;
  session.height = 768;
  session.framesPerCamera = 1000000;
  session.seconds = 5;
  RunSession(state, session);
}
BENCHMARK(BM_AcquireUnlimited)
    ->ArgNames({"cameras", "transfer", "inline"})
    ->Args({1, 4096, 0})
    ->Args({1, 1 << 20, 0})
    ->Args({1, 4096, 1})
    ->Args({1, 1 << 20, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void BM_AcquireLinePacketUnlimited(benchmark::State& state) {
  Session session;
  session.mode = StreamMode::kLinePacket;
  session.framesPerCamera = 1000000;
  session.seconds = 5;
  RunSession(state, session);
}
BENCHMARK(BM_AcquireLinePacketUnlimited)
    ->ArgNames({"cameras", "transfer"})
    ->Args({1, 4096})
    ->Args({1, 1 << 20})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// How long StopAcq takes, while frames stream at 400 MB/s (first argument
// 1) or while the camera sends nothing (0): median and worst of 20 stops.
void BM_StopLatency(benchmark::State& state) {
  lumo::SetConsoleSink(&Quiet);
  const bool streaming = state.range(0) != 0;
  auto camera = EmulatedDevice::Camera("STOP1");
  StreamConfig config = camera->Stream().Config();
  config.width = 512;
  config.height = 512;
  config.bytesPerSecond = 400000000;
  config.frameLimit = streaming ? 0 : 1;  // idle: one frame, then nothing
  config.serveOnSubmittingThread = false;
  camera->Stream().SetConfig(config);
  camera->Plug();
  LumoUsbManager manager;
  void* handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  manager.SetTransferSize(handle, static_cast<int>(state.range(1)));
  std::vector<double> stops;
  for (auto _ : state) {
    for (int i = 0; i < 20; ++i) {
      manager.StartAcq(handle);
      void* image = nullptr;
      manager.CameraGetImage(handle, &image, 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      const auto start = Clock::now();
      manager.StopAcq(handle);
      stops.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  std::sort(stops.begin(), stops.end());
  state.counters["median_ms"] = stops[stops.size() / 2];
  state.counters["worst_ms"] = stops.back();
  manager.CloseDevice(handle);
  lumo::SetConsoleSink(nullptr);
}
BENCHMARK(BM_StopLatency)
    ->ArgNames({"streaming", "transfer"})
    ->Args({1, 4096})
    ->Args({0, 4096})
    ->Args({1, 1 << 20})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
