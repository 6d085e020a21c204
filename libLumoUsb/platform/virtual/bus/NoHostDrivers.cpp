// The virtual backend on its own has no driver that finds devices by
// itself: every device is plugged by the program (the emulator, tests).
#include "platform/virtual/VirtualBus.h"

namespace lumo::platform::virt {

void StartHostDrivers() {}

}  // namespace lumo::platform::virt
