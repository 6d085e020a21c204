// list_open: lists the cameras the library finds through LumoUsbManager,
// with their enumeration indices, and opens and closes each.
//
//   list_open [--emulate]
//
// Enumeration indices are positions in the driver's whole device list (a
// device of the driver that is not a camera takes an index too), so they
// need not be 0, 1, 2...: walk them until every counted camera was seen.
// GetDeviceIDForIndex returns -1 for an index without a camera, and
// OpenDevice returns -1 when the camera cannot be opened.
#include <cstdint>
#include <cstdio>

#include "example_support.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/lumo_u3v.h"

namespace {
void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});
}

int main(int argc, char** argv) {
  ExampleSetup setup;
  if (!ExampleParse(&setup, argc, argv, 0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 2);

  LumoUsbManager manager;  // discovers the cameras and watches for hot-plug
  if (manager.DeviceCount() == 0 && ExamplePlugEmulated(&setup, 2) > 0)
    std::printf("no camera found: using emulated cameras\n");

  const int count = manager.DeviceCount();
  std::printf("cameras: %d\n", count);
  int failures = 0;
  for (int index = 0, listed = 0; index < 256 && listed < count; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id == kNone) continue;
    ++listed;
    std::printf("index %d: %s\n", index, static_cast<const char*>(id));
    void* camera = manager.OpenDevice(id);
    if (camera == kNone) {
      // The reason is the calling thread's last failure.
      int kind = LUMO_ERROR_NONE;
      unsigned int osError = 0;
      LUMO_U3V_GetLastError(&kind, &osError);
      std::printf("  cannot open: %s\n", LumoErrorText(kind));
      ++failures;
      continue;
    }
    std::printf("  opened, handle %p\n", camera);
    manager.CloseDevice(camera);
    std::printf("  closed\n");
  }
  ExampleUnplugEmulated(&setup);
  return failures == 0 && count > 0 ? 0 : 1;
}
