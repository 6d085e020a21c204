// The last error, thread ids, handles and events of the Windows backend:
// thin wrappers over the Win32 calls of the same purpose.
#include "platform/Platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace lumo::platform {

namespace {

HANDLE ToWin32(Handle handle) { return handle; }

}  // namespace

std::uint32_t LastError() { return ::GetLastError(); }
void SetLastError(std::uint32_t error) { ::SetLastError(error); }

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool CloseHandle(Handle handle) { return ::CloseHandle(ToWin32(handle)) != FALSE; }

Handle CreateEventObject(bool manualReset, bool initiallySet) {
  return static_cast<Handle>(
      ::CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr));
}

bool SetEventObject(Handle event) { return ::SetEvent(ToWin32(event)) != FALSE; }

bool ResetEventObject(Handle event) { return ::ResetEvent(ToWin32(event)) != FALSE; }

std::uint32_t WaitForEvent(Handle event, std::uint32_t timeoutMs) {
  return ::WaitForSingleObject(ToWin32(event), timeoutMs);
}

static_assert(INFINITE == kInfinite && WAIT_OBJECT_0 == kWaitObject0 &&
                  WAIT_TIMEOUT == kWaitTimeout && WAIT_FAILED == kWaitFailed,
              "wait values are Windows' own");
static_assert(ERROR_CALL_NOT_IMPLEMENTED == kErrorCallNotImplemented,
              "error values are Windows' own");

}  // namespace lumo::platform
