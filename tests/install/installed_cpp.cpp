// Built against the installed package: plugs an emulated camera, finds it
// through LumoUsbManager, reads a register back and prints the version.
#include <cstdio>
#include <cstring>

#include "lumo/LumoUsbManager.h"
#include "lumo/Version.h"
#include "lumo/emulator/EmulatedDevice.h"

int main() {
  auto camera = lumo::emulator::EmulatedDevice::Camera("INSTALL1");
  if (!camera->Plug()) return 1;
  LumoUsbManager manager;
  void* handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  unsigned char value[4] = {1, 2, 3, 4};
  unsigned char read[4] = {};
  const bool ok =
      manager.DeviceCount() == 1 && manager.SetupCommand(handle, 0x40, value, 4, 1000) &&
      manager.ReadCommand(handle, 0x40, read, 4, 1000) && std::memcmp(read, "\1\2\3\4", 4) == 0;
  manager.CloseDevice(handle);
  std::printf("libLumoUsb %s: %s\n", LumoUsbVersion(), ok ? "camera found and answered" : "FAILED");
  return ok ? 0 : 1;
}
