// Window classes, message-only windows, message loops and device-change
// notices of the Windows backend, over user32.
#include "platform/windows/Win32.h"
// After <windows.h>:
#include <dbt.h>

#include <cstring>

namespace lumo::platform {

using win32::FromWin32;
using win32::ToWin32;

namespace {

static_assert(WM_QUIT == kWmQuit && WM_DEVICECHANGE == kWmDeviceChange &&
                  DBT_DEVICEARRIVAL == kDbtDeviceArrival &&
                  DBT_DEVICEQUERYREMOVE == kDbtDeviceQueryRemove &&
                  DBT_DEVICEREMOVECOMPLETE == kDbtDeviceRemoveComplete &&
                  DBT_DEVTYP_DEVICEINTERFACE == kDbtDevTypDeviceInterface &&
                  DBT_DEVTYP_HANDLE == kDbtDevTypHandle && CS_NOCLOSE == kCsNoClose,
              "message and notice values are Windows' own");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) ==
                      offsetof(DeviceInterfaceNotice, name) &&
                  sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == sizeof(DeviceInterfaceNotice),
              "DeviceInterfaceNotice is laid out like DEV_BROADCAST_DEVICEINTERFACE_A");

// Classes and windows belong to the process's own module.
HINSTANCE ProcessModule() { return ::GetModuleHandleA(nullptr); }

MSG ToWin32(const Message& message) {
  MSG msg{};
  msg.hwnd = ToWin32(message.window);
  msg.message = message.message;
  msg.wParam = message.wParam;
  msg.lParam = message.lParam;
  return msg;
}

Notification Register(Window window, void* filter) {
  return static_cast<Notification>(
      ::RegisterDeviceNotificationA(ToWin32(window), filter, DEVICE_NOTIFY_WINDOW_HANDLE));
}

}  // namespace

bool RegisterWindowClass(const std::string& className, WindowProc procedure, std::uint32_t style) {
  WNDCLASSA windowClass{};
  windowClass.style = style;
  // WindowProc has WNDPROC's convention (LUMO_WINAPI) and argument types;
  // only the window's pointer type differs.
  windowClass.lpfnWndProc = reinterpret_cast<WNDPROC>(reinterpret_cast<void (*)()>(procedure));
  windowClass.hInstance = ProcessModule();
  windowClass.lpszClassName = className.c_str();
  return ::RegisterClassA(&windowClass) != 0;
}

Window CreateMessageWindow(const std::string& className) {
  return FromWin32(::CreateWindowExA(0, className.c_str(), nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                     nullptr, ProcessModule(), nullptr));
}

void SetWindowUserData(Window window, std::intptr_t value) {
  ::SetWindowLongPtrA(ToWin32(window), GWLP_USERDATA, value);
}

std::intptr_t WindowUserData(Window window) {
  return ::GetWindowLongPtrA(ToWin32(window), GWLP_USERDATA);
}

int ReceiveMessage(Message* message, Window filter) {
  MSG msg{};
  const BOOL result = ::GetMessageA(&msg, ToWin32(filter), 0, 0);
  if (result == -1) return -1;
  message->window = FromWin32(msg.hwnd);
  message->message = msg.message;
  message->wParam = msg.wParam;
  message->lParam = msg.lParam;
  return result != 0 ? 1 : 0;
}

void TranslateWindowMessage(const Message& message) {
  const MSG msg = ToWin32(message);
  ::TranslateMessage(&msg);
}

std::intptr_t DispatchWindowMessage(const Message& message) {
  const MSG msg = ToWin32(message);
  return ::DispatchMessageA(&msg);
}

std::intptr_t DefaultWindowProc(Window window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) {
  return ::DefWindowProcA(ToWin32(window), message, wParam, lParam);
}

bool PostWindowMessage(Window window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  return ::PostMessageA(ToWin32(window), message, wParam, lParam) != FALSE;
}

Notification RegisterInterfaceNotices(Window window, const Guid& interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  static_assert(sizeof(filter.dbcc_classguid) == sizeof(interfaceClass), "GUID layout");
  std::memcpy(&filter.dbcc_classguid, &interfaceClass, sizeof(interfaceClass));
  return Register(window, &filter);
}

Notification RegisterHandleNotices(Window window, Handle device) {
  DEV_BROADCAST_HANDLE filter{};
  filter.dbch_size = sizeof(filter);
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = ToWin32(device);
  return Register(window, &filter);
}

bool UnregisterNotices(Notification notification) {
  return ::UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(notification)) != FALSE;
}

}  // namespace lumo::platform
