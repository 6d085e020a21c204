// The one LumoUsbManager behind the flat LUMO_U3V_ functions. It is created
// on first request and never destroyed: cameras, device IDs and handles
// handed out through the flat functions stay valid until the process ends.
#pragma once

#include "lumo/LumoUsbManager.h"

namespace lumo::flat {

// The process-wide manager, or null while none has been created.
LumoUsbManager* ProcessManager();

// The process-wide manager, created now if there is none. Concurrent first
// calls build exactly one.
LumoUsbManager& CreateProcessManager();

}  // namespace lumo::flat
