// Register round trips through LumoUsbManager, the virtual backend and the
// emulated camera firmware: the latency a caller sees for one register read
// or write: the response reader polls again at once after a request is sent.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;

struct OpenCamera {
  OpenCamera() : camera(EmulatedDevice::Camera("BENCH1")) {
    camera->Plug();
    manager = std::make_unique<LumoUsbManager>();
    handle = manager->OpenDevice(manager->GetDeviceIDForIndex(0));
  }
  ~OpenCamera() { manager->CloseDevice(handle); }

  std::unique_ptr<EmulatedDevice> camera;
  std::unique_ptr<LumoUsbManager> manager;
  void* handle = nullptr;
};

// Reports the median and 99th percentile of the per-call latencies.
void ReportLatencies(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

template <bool kWrite>
void BM_RegisterRoundTrip(benchmark::State& state) {
  OpenCamera open;
  std::vector<double> micros;
  std::uint8_t data[4] = {1, 2, 3, 4};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = kWrite ? open.manager->SetupCommand(open.handle, 0x100, data, 4, 2000)
                           : open.manager->ReadCommand(open.handle, 0x100, data, 4, 2000);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) state.SkipWithError("register call failed");
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  ReportLatencies(state, micros);
}
BENCHMARK_TEMPLATE(BM_RegisterRoundTrip, false)
    ->Name("BM_RegisterRead")
    ->Iterations(300)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegisterRoundTrip, true)
    ->Name("BM_RegisterWrite")
    ->Iterations(300)
    ->UseRealTime();

}  // namespace
