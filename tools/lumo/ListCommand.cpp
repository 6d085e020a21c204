// lumo list: every registered camera with its index, serial number, USB
// speed and device ID. Each camera is opened for a moment to read what its
// device reported; one that cannot be opened (in use elsewhere) is still
// listed, with the serial number its device path carries.
#include <cstdint>
#include <cstdio>

#include "Commands.h"
#include "DeviceText.h"
#include "ExitCodes.h"
#include "Session.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo list [global options]\n\n"
    "Lists the cameras: index (for --camera), serial number, USB speed, vendor and\n"
    "product ids and device ID (the device path).\n";

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

}  // namespace

int ListCommand(int argc, char** argv, GlobalOptions& globals) {
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "list", CommandOptions{}, globals, nullptr, &arguments))
    return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }
  if (!arguments.empty()) return UsageError("list", "takes no arguments");

  Session session(globals, "list");
  if (const int started = session.Start()) return started;
  LumoUsbManager& manager = session.Manager();
  const std::vector<CameraEntry> cameras = session.Cameras();
  if (cameras.empty()) {
    std::fprintf(stderr, "lumo list: no camera found%s\n",
                 globals.emulate > 0 ? "" : " (try --emulate for emulated cameras)");
    return kExitNoCamera;
  }
  std::printf("%-5s  %-16s  %-24s  %-9s  %s\n", "INDEX", "SERIAL", "SPEED", "VID:PID", "DEVICE ID");
  for (const CameraEntry& camera : cameras) {
    LumoDeviceDescription description{};
    void* handle = manager.OpenDevice(camera.id);
    const bool described = handle != kNone && manager.DescribeDevice(handle, &description);
    if (handle != kNone) manager.CloseDevice(handle);
    char ids[16] = "?";
    if (described)
      std::snprintf(ids, sizeof(ids), "%04x:%04x", description.vendorId, description.productId);
    const std::string serial = described && description.serialNumber[0]
                                   ? description.serialNumber
                                   : SerialFromPath(camera.path);
    std::printf("%-5d  %-16s  %-24s  %-9s  %s\n", camera.index, serial.c_str(),
                described ? SpeedText(description.speed).c_str() : "? (could not open)", ids,
                camera.path.c_str());
  }
  return kExitOk;
}

}  // namespace lumo::tool
