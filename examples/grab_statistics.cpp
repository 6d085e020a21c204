// grab_statistics: acquires frames from the first camera for a while, reads
// each frame's header, and prints the camera's statistics at the end.
//
//   grab_statistics [--emulate] [--seconds=S]
//
// A frame handed out by CameraGetImage is the library's buffer: it stays
// put until the next CameraGetImage on the camera, StopAcq or CloseDevice.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "example_support.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"

namespace {

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

void* OpenFirstCamera(LumoUsbManager& manager) {
  for (int index = 0; index < 256 && manager.DeviceCount() > 0; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id != kNone) return manager.OpenDevice(id);
  }
  return kNone;
}

void PrintStatistics(const LumoCameraStatistics& s) {
  std::printf("frames completed        %llu\n", static_cast<unsigned long long>(s.framesCompleted));
  std::printf("lost, no free buffer    %llu\n",
              static_cast<unsigned long long>(s.framesLostNoBuffer));
  std::printf("lost, queue full        %llu\n",
              static_cast<unsigned long long>(s.framesLostQueueFull));
  std::printf("incomplete              %llu\n",
              static_cast<unsigned long long>(s.framesIncomplete));
  std::printf("blocks received         %llu\n", static_cast<unsigned long long>(s.blocksReceived));
  std::printf("bytes received          %llu\n", static_cast<unsigned long long>(s.bytesReceived));
  std::printf("transfer errors         %llu\n", static_cast<unsigned long long>(s.transferErrors));
  std::printf("command check errors    %llu\n",
              static_cast<unsigned long long>(s.commandCheckErrors));
  std::printf("command timeouts        %llu\n", static_cast<unsigned long long>(s.commandTimeouts));
  std::printf("removals / re-attaches  %llu / %llu\n", static_cast<unsigned long long>(s.removals),
              static_cast<unsigned long long>(s.reattaches));
}

}  // namespace

int main(int argc, char** argv) {
  ExampleSetup setup;
  if (!ExampleParse(&setup, argc, argv, 2.0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 1);
  LumoUsbManager manager;
  if (manager.DeviceCount() == 0 && ExamplePlugEmulated(&setup, 1) > 0)
    std::printf("no camera found: using an emulated camera\n");

  void* camera = OpenFirstCamera(manager);
  if (camera == kNone) {
    std::printf("no camera could be opened\n");
    ExampleUnplugEmulated(&setup);
    return 1;
  }
  if (!manager.StartAcq(camera)) {
    std::printf("acquisition did not start: %s\n",
                LumoErrorText(manager.GetLastError(camera).kind));
    manager.CloseDevice(camera);
    ExampleUnplugEmulated(&setup);
    return 1;
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::uint64_t frames = 0;
  double elapsed = 0;
  while (elapsed < setup.seconds) {
    void* image = nullptr;
    if (!manager.CameraGetImage(camera, &image, 2000)) {
      std::printf("no frame: %s\n", LumoErrorText(manager.GetLastError(camera).kind));
      break;
    }
    const auto& frame = *static_cast<const lumo::FrameRecordHeader*>(image);
    if (frames++ == 0)
      std::printf("first frame: number %u, %u x %u\n", frame.frameNumber, frame.width,
                  frame.height);
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  manager.StopAcq(camera);
  std::printf("%llu frames in %.2f s: %.1f frames/s\n", static_cast<unsigned long long>(frames),
              elapsed, elapsed > 0 ? frames / elapsed : 0.0);

  LumoCameraStatistics statistics{};
  if (manager.GetStatistics(camera, &statistics)) PrintStatistics(statistics);
  manager.CloseDevice(camera);
  ExampleUnplugEmulated(&setup);
  return frames > 0 ? 0 : 1;
}
