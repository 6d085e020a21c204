// The libusb driver's cost per request. An emulated camera stands behind
// the real libusb-1.0 through umockdev's emulated usbfs (run the program
// under umockdev-wrapper); the library acquires from it through the libusb
// backend with its transfer size as the benchmark's argument, the image
// reader keeping at least 256 KiB of requests queued.
//
// Reported: requests per second and MB/s sustained, and CPU per request by
// side: the driver's (libusb's event thread, which reaps URBs and runs the
// driver's completions, plus the image reader's thread, which submits them
// through the driver), and the emulated kernel's and device's (umockdev's
// threads and the usbfs bridge's), which a real kernel and camera replace.
#include <benchmark/benchmark.h>
#include <umockdev.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Log.h"
#include "ThreadTimes.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "usbfs/UsbfsBridge.h"

namespace {

using Clock = std::chrono::steady_clock;

void Quiet(const char*) {}

UMockdevTestbed* Testbed() {
  static UMockdevTestbed* testbed = umockdev_testbed_new();  // before libusb starts
  return testbed;
}

void BM_LibusbStream(benchmark::State& state) {
  Testbed();
  if (!umockdev_in_mock_environment()) {
    state.SkipWithError("run under umockdev-wrapper");
    return;
  }
  lumo::SetConsoleSink(&Quiet);
  static int serial = 0;
  auto camera = lumo::emulator::EmulatedDevice::Camera("LUBENCH" + std::to_string(serial++));
  auto config = camera->Stream().Config();
  config.width = 512;
  config.height = 512;
  config.bytesPerSecond = 0;
  config.serveOnSubmittingThread = false;
  camera->Stream().SetConfig(config);
  lumo::emulator::UsbfsBridge bridge(Testbed(), *camera, 1, "2-" + std::to_string(serial));
  LumoUsbManager manager;
  if (!bridge.Plug()) {
    state.SkipWithError("the bridge could not plug the camera");
    return;
  }
  void* handle = nullptr;
  for (int wait = 0; !handle && wait < 500; ++wait) {
    for (int index = 0; index < 64 && !handle; ++index) {
      void* id = manager.GetDeviceIDForIndex(index);
      if (id != reinterpret_cast<void*>(~std::uintptr_t{0}) &&
          std::string(static_cast<const char*>(id)).find("lubench") != std::string::npos)
        handle = manager.OpenDevice(id);
    }
    if (!handle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!handle || handle == reinterpret_cast<void*>(~std::uintptr_t{0})) {
    state.SkipWithError("the camera did not arrive through libusb");
    return;
  }
  manager.SetTransferSize(handle, static_cast<int>(state.range(0)));
  manager.SetPixelSize(handle, 2);

  double seconds = 0, driverCpu = 0, deviceCpu = 0, bytes = 0;
  std::uint64_t requests = 0;
  for (auto _ : state) {
    manager.StartAcq(handle);
    const std::uint64_t urbsBefore = bridge.UrbsSubmitted();
    const auto before = lumo::bench::ThreadTimes();
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(3)) {
      void* image = nullptr;
      if (!manager.CameraGetImage(handle, &image, 1000)) continue;
      const auto& frame = *static_cast<const lumo::FrameRecordHeader*>(image);
      bytes += double(frame.width) * frame.height * 2;
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& [id, entry] : lumo::bench::ThreadTimes()) {
      const double used = lumo::bench::Used(before, id, entry);
      if (entry.name == "lumo-usbevents" || entry.name == "lumo-reader")
        driverCpu += used;
      else if (entry.name.rfind("lumo-", 0) != 0)
        deviceCpu += used;
    }
    requests = bridge.UrbsSubmitted() - urbsBefore;
    manager.StopAcq(handle);
  }
  manager.CloseDevice(handle);
  bridge.Unplug();
  lumo::SetConsoleSink(nullptr);
  state.counters["requests_per_s"] = double(requests) / seconds;
  state.counters["MB_per_s"] = bytes / seconds / 1e6;
  state.counters["driver_us_per_request"] = requests ? driverCpu / double(requests) * 1e6 : 0;
  state.counters["device_us_per_request"] = requests ? deviceCpu / double(requests) * 1e6 : 0;
}
BENCHMARK(BM_LibusbStream)
    ->ArgName("transfer")
    ->Arg(4096)
    ->Arg(65536)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
