/* registers (C): writes a camera register, reads it back, reads one never
 * written, and shows how a failed call tells its reason.
 *
 *   registers [--emulate]
 *
 * Results are LUMO_U3V_OK, LUMO_U3V_ERROR or LUMO_U3V_TIMEOUT; why a call
 * failed is the calling thread's last error (LUMO_U3V_GetLastError). */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "example_support.h"
#include "lumo/lumo_u3v.h"

#define NONE ((void*)(intptr_t)-1)

static void PrintBytes(const char* what, const uint8_t* bytes, int count) {
  int i;
  printf("%s", what);
  for (i = 0; i < count; ++i) printf(" %02X", bytes[i]);
  printf("\n");
}

static void PrintLastError(const char* call) {
  int kind = 0;
  unsigned int osError = 0;
  LUMO_U3V_GetLastError(&kind, &osError);
  printf("%s failed: %s\n", call, LumoErrorText(kind));
}

int main(int argc, char** argv) {
  ExampleSetup setup;
  uint16_t count = 0;
  unsigned int index;
  void* handle = NONE;
  uint8_t written[4] = {0xCA, 0xFE, 0x00, 0x2A};
  uint8_t answer[4];
  uint8_t read[4] = {0};
  int ok = 1;

  if (!ExampleParse(&setup, argc, argv, 0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 1);
  LUMO_U3V_DiscoveryDevices(&count);
  if (count == 0 && ExamplePlugEmulated(&setup, 1) > 0) {
    printf("no camera found: using an emulated camera\n");
    LUMO_U3V_DiscoveryDevices(&count);
  }

  /* Open the first camera, whatever its index. */
  for (index = 0; index < 256 && handle == NONE && count > 0; ++index) {
    LUMO_U3V_DeviceInfo info;
    LUMO_U3V_GetDeviceInfo(index, &info);
    if (info.deviceId != NONE) LUMO_U3V_OpenDevice(&info.deviceId, &handle, NULL, NULL);
  }
  if (handle == NONE) {
    printf("no camera could be opened\n");
    ExampleUnplugEmulated(&setup);
    return 1;
  }

  /* A write sends the bytes and gets them back in the camera's answer. */
  memcpy(answer, written, sizeof(answer));
  if (LUMO_U3V_ControlSet(handle, 0x0020, answer, 4, 1000) != LUMO_U3V_OK) {
    PrintLastError("LUMO_U3V_ControlSet");
    ok = 0;
  }
  PrintBytes("register 0x0020 written:", written, 4);
  if (LUMO_U3V_ControlRead(handle, 0x0020, read, 4, 1000) == LUMO_U3V_OK) {
    PrintBytes("register 0x0020 read:   ", read, 4);
    ok = ok && memcmp(read, written, 4) == 0;
  } else {
    PrintLastError("LUMO_U3V_ControlRead");
    ok = 0;
  }
  if (LUMO_U3V_ControlRead(handle, 0x0100, read, 4, 1000) == LUMO_U3V_OK)
    PrintBytes("register 0x0100 read:   ", read, 4);

  LUMO_U3V_CloseDevice(handle);
  /* A call on a closed camera fails and says why. */
  if (LUMO_U3V_ControlRead(handle, 0x0020, read, 4, 1000) == LUMO_U3V_ERROR)
    PrintLastError("LUMO_U3V_ControlRead after close");
  else
    ok = 0;

  ExampleUnplugEmulated(&setup);
  return ok ? 0 : 1;
}
