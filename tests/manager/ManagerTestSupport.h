// Helpers for manager tests: enumeration indices, device IDs and the pump
// windows of the managers built so far.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/LumoUsbManager.h"
#include "platform/virtual/VirtualBus.h"
#include "usb/DriverInterface.h"

namespace lumo::test {

inline void* NoneValue() { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

// Pump window classes registered in the process.
inline std::vector<std::string> PumpClasses() {
  std::vector<std::string> names;
  for (const std::string& name : platform::virt::WindowClassNames())
    if (name.rfind("wndClsMsgPumpWnd", 0) == 0) names.push_back(name);
  return names;
}

// Whether `count` pump windows are registered for the driver's notices. A
// manager's constructor returns with its pump registered, so this holds at
// once after construction.
inline bool PumpsRegistered(std::size_t count) {
  return PumpClasses().size() >= count &&
         platform::virt::InterfaceNoticeRegistrations(usb::kDriverInterfaceClass) >= count;
}

}  // namespace lumo::test
