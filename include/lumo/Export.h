// Symbol export for libLumoUsb and its emulator. Symbols are hidden unless
// marked with one of these macros.
#pragma once

#if defined(_WIN32)
#if defined(LUMO_BUILDING_LIBRARY)
#define LUMO_API __declspec(dllexport)
#else
#define LUMO_API
#endif
#if defined(LUMO_BUILDING_EMULATOR)
#define LUMO_EMULATOR_API __declspec(dllexport)
#else
#define LUMO_EMULATOR_API
#endif
#else
#define LUMO_API __attribute__((visibility("default")))
#define LUMO_EMULATOR_API __attribute__((visibility("default")))
#endif
