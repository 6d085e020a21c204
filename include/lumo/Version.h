/* The version of the libLumoUsb a program runs with ("MAJOR.MINOR.PATCH").
 * Usable from C and C++. Programs built against one MAJOR version run with
 * every later library of that MAJOR version. */
#ifndef LUMO_VERSION_H
#define LUMO_VERSION_H

#include "lumo/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

LUMO_API const char* LumoUsbVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_VERSION_H */
