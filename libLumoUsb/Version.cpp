#include "lumo/Version.h"

extern "C" const char* LumoUsbVersion(void) { return LUMO_VERSION_STRING; }
