// hotplug_grab: a grab loop that keeps going while its camera is unplugged
// and plugged back in.
//
//   hotplug_grab [--emulate] [--seconds=S]
//
// The library does the work: an open camera that is unplugged keeps its
// handle, its calls fail at once with LUMO_ERROR_REMOVED, and when it
// returns it is opened again and its acquisition resumes by itself. The
// program only keeps calling CameraGetImage, and learns of the changes
// through the device-change callback. With emulated cameras a second
// thread pulls the first camera's cable a third of the way through and
// plugs it back in at two thirds; with real ones, pull the cable yourself.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "example_support.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"

namespace {

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});
std::atomic<int> removals{0};
std::atomic<int> arrivals{0};

// Called on a thread of the library's, outside its locks.
void OnDeviceChange(void* /*context*/, int event, const char* path, void* handle) {
  const bool arrived = event == LUMO_DEVICE_ARRIVED;
  (arrived ? arrivals : removals)++;
  std::printf("callback: %s %s (handle %p)\n", arrived ? "arrived" : "removed", path, handle);
}

void* OpenFirstCamera(LumoUsbManager& manager) {
  for (int index = 0; index < 256 && manager.DeviceCount() > 0; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id != kNone) return manager.OpenDevice(id);
  }
  return kNone;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  ExampleSetup setup;
  if (!ExampleParse(&setup, argc, argv, 6.0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 1);
  LumoUsbManager manager;
  if (manager.DeviceCount() == 0 && ExamplePlugEmulated(&setup, 1) > 0)
    std::printf("no camera found: using an emulated camera\n");
  manager.SetDeviceChangeCallback(OnDeviceChange, nullptr);

  void* camera = OpenFirstCamera(manager);
  if (camera == kNone || !manager.StartAcq(camera)) {
    std::printf("no camera could be opened and started\n");
    manager.SetDeviceChangeCallback(nullptr, nullptr);
    ExampleUnplugEmulated(&setup);
    return 1;
  }

  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> running{true};
  std::thread cable([&] {
#ifdef LUMO_VIRTUAL_BACKEND
    if (setup.plugged == 0) return;
    const auto waitUntil = [&](double share) {
      while (running && Since(start) < setup.seconds * share)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return running.load();
    };
    if (!waitUntil(1.0 / 3)) return;
    std::printf("[%4.1f s] pulling the cable\n", Since(start));
    LUMO_EMU_Unplug(setup.emulated[0]);
    if (!waitUntil(2.0 / 3)) return;
    std::printf("[%4.1f s] plugging it back in\n", Since(start));
    LUMO_EMU_Plug(setup.emulated[0]);
#endif
  });

  std::uint64_t frames = 0;
  std::uint64_t framesAfterReturn = 0;
  bool away = false;
  bool wasAway = false;
  while (Since(start) < setup.seconds) {
    void* image = nullptr;
    if (manager.CameraGetImage(camera, &image, 200)) {
      if (away)
        std::printf("[%4.1f s] frames resumed with frame %u\n", Since(start),
                    static_cast<const lumo::FrameRecordHeader*>(image)->frameNumber);
      away = false;
      ++frames;
      if (wasAway) ++framesAfterReturn;
    } else if (manager.GetLastError(camera).kind == LUMO_ERROR_REMOVED) {
      if (!away) std::printf("[%4.1f s] the camera is away: waiting for it\n", Since(start));
      away = wasAway = true;
      // Calls on an absent camera fail at once: do not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  running = false;
  cable.join();

  manager.StopAcq(camera);
  manager.CloseDevice(camera);
  manager.SetDeviceChangeCallback(nullptr, nullptr);
  std::printf("%llu frames, %llu after the camera returned; callbacks: %d removed, %d arrived\n",
              static_cast<unsigned long long>(frames),
              static_cast<unsigned long long>(framesAfterReturn), removals.load(), arrivals.load());
  const bool cablePulled = setup.plugged > 0;
  ExampleUnplugEmulated(&setup);
  return frames > 0 && (!cablePulled || framesAfterReturn > 0) ? 0 : 1;
}
