// lumo_session: a camera session on the cameras the library finds.
//
// With the virtual backend (Linux, tests) it first plugs emulated devices
// into it: two cameras and one device of the same driver that is not a
// camera, so that a session shows real output without hardware.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lumo/LumoUsbManager.h"

#ifdef LUMO_VIRTUAL_BACKEND
#include "lumo/emulator/EmulatedDevice.h"
#endif

int main() {
#ifdef LUMO_VIRTUAL_BACKEND
  using lumo::emulator::EmulatedDevice;
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  devices.push_back(EmulatedDevice::Camera("LUMO0001"));
  devices.push_back(EmulatedDevice::OtherDevice("BRIDGE01"));
  devices.push_back(EmulatedDevice::Camera("LUMO0002"));
  for (const auto& device : devices) {
    if (!device->Plug()) {
      std::fprintf(stderr, "could not plug %s\n", device->Path().c_str());
      return 1;
    }
    std::printf("plugged emulated device %s\n", device->Path().c_str());
  }
#endif

  LumoUsbManager manager;
  const int count = manager.DeviceCount();
  std::printf("cameras found: %d\n", count);
  // Device IDs are keyed by enumeration position, which counts every device
  // of the driver: walk the positions a driver can have.
  int listed = 0;
  for (int index = 0; index < 256 && listed < count; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id == reinterpret_cast<void*>(~std::uintptr_t{0})) continue;
    std::printf("  index %d: %s\n", index, static_cast<const char*>(id));
    ++listed;
  }
  return listed == count ? 0 : 1;
}
