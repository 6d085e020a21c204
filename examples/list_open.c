/* list_open (C): lists the cameras through the flat LUMO_U3V_ functions,
 * opens and closes each, and shows what a failed open looks like.
 *
 *   list_open_c [--emulate]
 *
 * Enumeration indices are positions in the driver's device list, so the
 * walk goes over indices until it has seen as many cameras as were counted;
 * an index without a camera yields the device ID "none" (all bits set). */
#include <stdint.h>
#include <stdio.h>

#include "example_support.h"
#include "lumo/lumo_u3v.h"

#define NONE ((void*)(intptr_t)-1)

int main(int argc, char** argv) {
  ExampleSetup setup;
  uint16_t count = 0;
  unsigned int index;
  int listed = 0;
  int failures = 0;
  static char unknownPath[] = "\\\\?\\usb#vid_04b4&pid_00f1#nosuchcamera#{no-such-class}";
  void* unknownId = unknownPath;
  void* handle = NULL;
  int kind = 0;
  unsigned int osError = 0;

  if (!ExampleParse(&setup, argc, argv, 0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 2);

  LUMO_U3V_DiscoveryDevices(&count); /* makes the process-wide manager */
  if (count == 0 && ExamplePlugEmulated(&setup, 2) > 0) {
    printf("no camera found: using emulated cameras\n");
    LUMO_U3V_DiscoveryDevices(&count);
  }
  printf("cameras: %u\n", (unsigned)count);

  for (index = 0; index < 256 && listed < count; ++index) {
    LUMO_U3V_DeviceInfo info;
    LUMO_U3V_GetDeviceInfo(index, &info);
    if (info.deviceId == NONE) continue; /* no camera at this index */
    ++listed;
    /* A device ID points at the camera's device path. */
    printf("index %u: %s\n", index, (const char*)info.deviceId);
    LUMO_U3V_OpenDevice(&info.deviceId, &handle, NULL, NULL);
    if (handle == NONE) {
      LUMO_U3V_GetLastError(&kind, &osError);
      printf("  cannot open: %s\n", LumoErrorText(kind));
      ++failures;
      continue;
    }
    printf("  opened, handle %p\n", handle);
    LUMO_U3V_CloseDevice(handle);
    printf("  closed\n");
  }

  /* Opening a path that names no camera stores the handle "none". */
  LUMO_U3V_OpenDevice(&unknownId, &handle, NULL, NULL);
  LUMO_U3V_GetLastError(&kind, &osError);
  printf("opening an unknown path: handle %s, reason: %s\n", handle == NONE ? "-1" : "valid?",
         LumoErrorText(kind));

  ExampleUnplugEmulated(&setup);
  return failures == 0 && handle == NONE ? 0 : 1;
}
