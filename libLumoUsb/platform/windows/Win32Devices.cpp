// Device-interface enumeration (SetupAPI) and driver access (CreateFileA,
// DeviceIoControl, GetOverlappedResult) of the Windows backend.
#include "platform/windows/Win32.h"
// After <windows.h>:
#include <setupapi.h>

#include <memory>
#include <vector>

namespace lumo::platform {

using win32::ToWin32;

namespace {

static_assert(sizeof(GUID) == sizeof(Guid), "GUID layout");

const GUID* ToWin32(const Guid* guid) { return reinterpret_cast<const GUID*>(guid); }
HDEVINFO ToWin32(InterfaceSet set) { return reinterpret_cast<HDEVINFO>(set); }

// SetupAPI checks cbSize against the structure's packed size: 5 bytes on
// 32-bit Windows, 8 on 64-bit.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5),
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A packing");

// Closes the event of a synchronous request when it goes out of scope.
struct EventCloser {
  void operator()(void* event) const { ::CloseHandle(event); }
};
using OwnedEvent = std::unique_ptr<void, EventCloser>;

}  // namespace

InterfaceSet OpenInterfaceSet(const Guid& interfaceClass) {
  HDEVINFO set = ::SetupDiGetClassDevsA(ToWin32(&interfaceClass), nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return InvalidInterfaceSet();
  return reinterpret_cast<InterfaceSet>(set);
}

bool InterfacePathAt(InterfaceSet set, const Guid& interfaceClass, std::uint32_t index,
                     std::string* path) {
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  if (!::SetupDiEnumDeviceInterfaces(ToWin32(set), nullptr, ToWin32(&interfaceClass), index, &data))
    return false;  // past the end: ERROR_NO_MORE_ITEMS
  // First ask for the size of the detail record, then fetch it.
  DWORD required = 0;
  if (::SetupDiGetDeviceInterfaceDetailA(ToWin32(set), &data, nullptr, 0, &required, nullptr) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    ::SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  // Held in pointer-sized words so that the record is suitably aligned.
  std::vector<std::uintptr_t> storage((required + sizeof(std::uintptr_t) - 1) /
                                      sizeof(std::uintptr_t));
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!::SetupDiGetDeviceInterfaceDetailA(ToWin32(set), &data, detail, required, nullptr, nullptr))
    return false;
  // The path ends at its NUL or at the end of what the system returned.
  const char* name = detail->DevicePath;
  const std::size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  std::size_t length = 0;
  while (length < room && name[length] != '\0') ++length;
  if (path) path->assign(name, length);
  return true;
}

void CloseInterfaceSet(InterfaceSet set) {
  if (set != InvalidInterfaceSet()) ::SetupDiDestroyDeviceInfoList(ToWin32(set));
}

Handle OpenDevicePath(const std::string& path) {
  HANDLE device =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  return static_cast<Handle>(device);  // INVALID_HANDLE_VALUE is InvalidHandle()
}

bool IoControl(Handle device, std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned,
               Overlapped* overlapped) {
  if (overlapped) {
    DWORD bytes = 0;
    const BOOL done = ::DeviceIoControl(ToWin32(device), code, inBuffer, inSize, outBuffer, outSize,
                                        &bytes, ToWin32(overlapped));
    if (done && bytesReturned) *bytesReturned = bytes;
    return done != FALSE;
  }
  // Driver handles are opened for overlapped I/O, and on such a handle a
  // request without an OVERLAPPED may return before the driver has finished
  // it, with no reliable byte count. A synchronous request therefore runs
  // overlapped on an event of its own and is waited for here.
  OwnedEvent event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED request{};
  request.hEvent = event.get();
  DWORD bytes = 0;
  if (!::DeviceIoControl(ToWin32(device), code, inBuffer, inSize, outBuffer, outSize, &bytes,
                         &request)) {
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    if (!::GetOverlappedResult(ToWin32(device), &request, &bytes, TRUE)) return false;
  }
  if (bytesReturned) *bytesReturned = bytes;
  return true;
}

bool OverlappedResult(Handle device, Overlapped* overlapped, std::uint32_t* bytesTransferred,
                      bool wait) {
  DWORD bytes = 0;
  const BOOL done =
      ::GetOverlappedResult(ToWin32(device), ToWin32(overlapped), &bytes, wait ? TRUE : FALSE);
  // A request that finished with an error has a byte count too.
  if (bytesTransferred && (done || !IsPending(*overlapped))) *bytesTransferred = bytes;
  return done != FALSE;
}

}  // namespace lumo::platform
