// Window classes, message-only windows, message loops and device-change
// notices of the Windows backend. Not served yet: every call fails cleanly
// with kErrorCallNotImplemented and the call's failure value, so a hot-plug
// pump gets no window and its message loop ends at once.
#include "platform/Platform.h"
#include "platform/windows/NotImplemented.h"

namespace lumo::platform {

using win32::NotImplemented;

bool RegisterWindowClass(const std::string&, WindowProc, std::uint32_t) {
  return NotImplemented(false);
}

Window CreateMessageWindow(const std::string&) { return NotImplemented<Window>(nullptr); }

void SetWindowUserData(Window, std::intptr_t) { NotImplemented(); }

std::intptr_t WindowUserData(Window) { return NotImplemented<std::intptr_t>(0); }

int ReceiveMessage(Message*, Window) { return NotImplemented(-1); }

void TranslateWindowMessage(const Message&) { NotImplemented(); }

std::intptr_t DispatchWindowMessage(const Message&) { return NotImplemented<std::intptr_t>(0); }

std::intptr_t DefaultWindowProc(Window, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return NotImplemented<std::intptr_t>(0);
}

bool PostWindowMessage(Window, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return NotImplemented(false);
}

Notification RegisterInterfaceNotices(Window, const Guid&) {
  return NotImplemented<Notification>(nullptr);
}

Notification RegisterHandleNotices(Window, Handle) { return NotImplemented<Notification>(nullptr); }

bool UnregisterNotices(Notification) { return NotImplemented(false); }

}  // namespace lumo::platform
