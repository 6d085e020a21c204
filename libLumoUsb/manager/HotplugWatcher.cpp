#include "manager/HotplugWatcher.h"

#include <memory>

#include "manager/ManagerState.h"
#include "usb/DriverInterface.h"

namespace lumo::manager {

std::string PumpWindowClassName(std::uint32_t threadId) {
  return "wndClsMsgPumpWnd" + std::to_string(threadId);
}

void RunMessagePump(ManagerState* state) {
  const std::string className = PumpWindowClassName(platform::CurrentThreadId());
  // Neither result is examined: without a window no notice arrives and the
  // registry stays as the constructor left it.
  platform::RegisterWindowClass(className, &HotplugWindowProc, platform::kCsNoClose);
  platform::Window window = platform::CreateMessageWindow(className);
  if (window) platform::SetWindowUserData(window, reinterpret_cast<std::intptr_t>(state));

  // Registers the window for notices of the driver's class. Kept for the
  // life of the thread; the registration is never withdrawn.
  const auto notifications =
      std::make_unique<usb::CLumoUSBDevice>(window, usb::kDriverInterfaceClass);
  // The constructor waits for this, whether the window and its registration
  // succeeded or not.
  state->MarkPumpReady();

  platform::Message message;
  for (;;) {
    const int result = platform::ReceiveMessage(&message, state->pumpWindowFilter);
    if (result > 0) {
      platform::TranslateWindowMessage(message);
      platform::DispatchWindowMessage(message);
    } else if (result < 0 || !state->pumpRunning.load()) {
      // A quit message does not end the loop while pumpRunning is set.
      break;
    }
  }
}

std::intptr_t LUMO_WINAPI HotplugWindowProc(platform::Window window, std::uint32_t message,
                                            std::uintptr_t wParam, std::intptr_t lParam) {
  return platform::DefaultWindowProc(window, message, wParam, lParam);
}

}  // namespace lumo::manager
