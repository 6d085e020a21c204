/* Built against the installed library through pkg-config (lumo-usb): the
 * flat C interface and the version, without any camera. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lumo/Version.h"
#include "lumo/lumo_u3v.h"

int main(void) {
  uint16_t count = 0xFFFF;
  const char* version = LumoUsbVersion();
  const int ok = version && strlen(version) > 0 && LUMO_U3V_GetManager() != NULL &&
                 LUMO_U3V_DiscoveryDevices(&count) == LUMO_U3V_OK && count == 0;
  printf("libLumoUsb %s from C: %s\n", version ? version : "?", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
