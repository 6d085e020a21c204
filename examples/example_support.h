/* example_support.h: what the examples share, for C and C++: their two
 * options and, in builds with the emulator, emulated cameras to work on
 * when no camera is at hand.
 *
 *   --emulate      plug emulated cameras first
 *   --seconds=S    how long to acquire (the examples that acquire)
 *
 * Builds with the emulator (the virtual and the libusb backends) define
 * LUMO_VIRTUAL_BACKEND. An emulated camera plugged in before the manager is
 * made is found like a camera on a cable; one plugged in later arrives
 * through the library's hot-plug watcher, as a real one would. */
#ifndef LUMO_EXAMPLE_SUPPORT_H
#define LUMO_EXAMPLE_SUPPORT_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef LUMO_VIRTUAL_BACKEND
#include "lumo/emulator/lumo_emulator.h"
#endif

#define EXAMPLE_MAX_EMULATED 4

typedef struct ExampleSetup {
  int emulate;
  double seconds;
  int plugged; /* emulated cameras plugged in */
#ifdef LUMO_VIRTUAL_BACKEND
  LumoEmuCamera* emulated[EXAMPLE_MAX_EMULATED];
#endif
} ExampleSetup;

/* Reads the options; 0, after a usage line, for anything else. */
static inline int ExampleParse(ExampleSetup* setup, int argc, char** argv, double seconds) {
  int i;
  memset(setup, 0, sizeof(*setup));
  setup->seconds = seconds;
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--emulate") == 0) {
      setup->emulate = 1;
    } else if (strncmp(argv[i], "--seconds=", 10) == 0 && atof(argv[i] + 10) > 0) {
      setup->seconds = atof(argv[i] + 10);
    } else {
      fprintf(stderr, "usage: %s [--emulate] [--seconds=S]\n", argv[0]);
      return 0;
    }
  }
#ifndef LUMO_VIRTUAL_BACKEND
  if (setup->emulate) {
    fprintf(stderr, "this build has no emulator\n");
    return 0;
  }
#endif
  return 1;
}

/* Plugs in `count` emulated cameras (serials LUMO0001, LUMO0002, ...) and
 * waits until the library has seen them. Returns how many were plugged: 0
 * in a build without the emulator. */
static inline int ExamplePlugEmulated(ExampleSetup* setup, int count) {
#ifdef LUMO_VIRTUAL_BACKEND
  while (setup->plugged < count && setup->plugged < EXAMPLE_MAX_EMULATED) {
    char serial[16];
    LumoEmuCamera* camera;
    snprintf(serial, sizeof(serial), "LUMO%04d", setup->plugged + 1);
    camera = LUMO_EMU_CreateCamera(serial);
    if (!camera || !LUMO_EMU_Plug(camera)) {
      LUMO_EMU_Destroy(camera);
      break;
    }
    printf("plugged in emulated camera %s\n", serial);
    setup->emulated[setup->plugged++] = camera;
  }
  LUMO_EMU_WaitForNoticesHandled(5000);
#else
  (void)count;
#endif
  return setup->plugged;
}

/* Unplugs and frees the emulated cameras. */
static inline void ExampleUnplugEmulated(ExampleSetup* setup) {
#ifdef LUMO_VIRTUAL_BACKEND
  while (setup->plugged > 0) LUMO_EMU_Destroy(setup->emulated[--setup->plugged]);
#else
  (void)setup;
#endif
}

#endif /* LUMO_EXAMPLE_SUPPORT_H */
