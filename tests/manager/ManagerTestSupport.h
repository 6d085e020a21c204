// Helpers for manager tests: enumeration indices, device IDs and waiting for
// a manager's pump thread to be ready.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
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

// The number of pump classes once pumps of managers built earlier in this
// process have settled (no new class for 100 ms).
inline std::size_t SettledPumpCount() {
  std::size_t count = PumpClasses().size();
  for (int quiet = 0; quiet < 20;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::size_t now = PumpClasses().size();
    quiet = now == count ? quiet + 1 : 0;
    count = now;
  }
  return count;
}

// Waits until `count` pump windows are registered for the driver's notices.
inline bool WaitForPumps(std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (PumpClasses().size() >= count &&
        platform::virt::InterfaceNoticeRegistrations(usb::kDriverInterfaceClass) >= count)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace lumo::test
