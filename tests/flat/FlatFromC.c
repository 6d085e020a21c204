/* The flat functions called from C in a process of their own: before the
 * process-wide manager exists, then with a manager that finds no camera.
 * Prints every failed check; exits non-zero if any failed. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lumo/lumo_u3v.h"

static int failures = 0;
#define CHECK(condition) \
  ((condition) ? (void)0 : (void)(printf("FAILED line %d: %s\n", __LINE__, #condition), ++failures))

static int AllOnes(void* pointer) { return (uintptr_t)pointer == UINTPTR_MAX; }

int main(void) {
  uint8_t data[8] = {0};
  void* handle = data; /* no camera: compared by value, never read through */
  void* cell = data;
  int32_t a = 11, b = 22, length = 8;
  uint16_t count = 0xFFFF;
  LUMO_U3V_DeviceInfo info, untouched;
  LUMO_U3V_ImageInfo image;
  LumoCameraStatistics statistics;
  memset(&info, 0xA5, sizeof(info));
  untouched = info;

  /* Without a manager every function that needs one refuses and writes
   * nothing. */
  CHECK(LUMO_U3V_GetDeviceInfo(0, &info) == LUMO_U3V_ERROR);
  CHECK(memcmp(&info, &untouched, sizeof(info)) == 0);
  CHECK(LUMO_U3V_OpenDevice(&cell, &cell, NULL, NULL) == LUMO_U3V_ERROR && cell == (void*)data);
  CHECK(LUMO_U3V_CloseDevice(handle) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_ControlSet(handle, 0x100, data, 4, 100) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_ControlRead(handle, 0x100, data, 4, 100) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_ReadData(handle, &length, data) == LUMO_U3V_ERROR && length == 8);
  CHECK(LUMO_U3V_WriteData(handle, 4, data) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_AcquisitionStart(handle, NULL) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_AcquisitionStop(handle, NULL, NULL) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_GetImage(handle, 0, &image) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_GetImage(handle, 0, NULL) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_GetStatistics(handle, &statistics) == LUMO_U3V_ERROR);
  CHECK(LUMO_U3V_SetBufferCount(handle, 5) == LUMO_U3V_OK);
  CHECK(LUMO_U3V_GetBufferCount(handle, &length) == LUMO_U3V_OK && length == 8);
  CHECK(LUMO_U3V_SetTransferSize(handle, 65536) == LUMO_U3V_OK);
  CHECK(LUMO_U3V_GetTransferSize(handle, &length) == LUMO_U3V_OK && length == 8);

  /* These need no manager; the settings touch neither argument. */
  CHECK(LUMO_U3V_OpenStream(&a, -42, &length, &b) == LUMO_U3V_OK && length == -42);
  CHECK(LUMO_U3V_OpenControl(0x7FFFFFFF, &length) == LUMO_U3V_OK && length == 0x7FFFFFFF);
  CHECK(LUMO_U3V_CloseStream(&a) == LUMO_U3V_OK && LUMO_U3V_CloseControl(&a) == LUMO_U3V_OK);
  CHECK(LUMO_U3V_SetDetailedLog(&a, &b) == LUMO_U3V_OK);
  CHECK(LUMO_U3V_GetDetailedLog(&a, &b) == LUMO_U3V_OK);
  CHECK(a == 11 && b == 22);

  /* A manager that finds no camera. */
  CHECK(LUMO_U3V_GetManager() != NULL && LUMO_U3V_GetManager() == LUMO_U3V_GetManager());
  CHECK(LUMO_U3V_DiscoveryDevices(&count) == LUMO_U3V_OK && count == 0);
  CHECK(LUMO_U3V_GetDeviceInfo(0, &info) == LUMO_U3V_OK && AllOnes(info.deviceId));
  CHECK(LUMO_U3V_OpenDevice(&info.deviceId, &handle, NULL, NULL) == LUMO_U3V_OK && AllOnes(handle));
  CHECK(LUMO_U3V_GetStatistics(handle, &statistics) == LUMO_U3V_ERROR);
  CHECK(sizeof(LumoCameraStatistics) == 88);

  if (failures != 0) return 1;
  printf("all checks passed\n");
  return 0;
}
