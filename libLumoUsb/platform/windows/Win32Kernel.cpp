// The last error, thread ids, handles and events of the Windows backend:
// thin wrappers over the Win32 calls of the same purpose.
#include "platform/windows/Win32.h"

namespace lumo::platform {

using win32::ToWin32;

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
static_assert(ERROR_SUCCESS == kErrorSuccess && ERROR_INVALID_FUNCTION == kErrorInvalidFunction &&
                  ERROR_FILE_NOT_FOUND == kErrorFileNotFound &&
                  ERROR_INVALID_HANDLE == kErrorInvalidHandle &&
                  ERROR_NOT_ENOUGH_MEMORY == kErrorNotEnoughMemory &&
                  ERROR_GEN_FAILURE == kErrorGenFailure &&
                  ERROR_INVALID_PARAMETER == kErrorInvalidParameter &&
                  ERROR_CALL_NOT_IMPLEMENTED == kErrorCallNotImplemented &&
                  ERROR_INSUFFICIENT_BUFFER == kErrorInsufficientBuffer &&
                  ERROR_NO_MORE_ITEMS == kErrorNoMoreItems &&
                  ERROR_OPERATION_ABORTED == kErrorOperationAborted &&
                  ERROR_IO_INCOMPLETE == kErrorIoIncomplete &&
                  ERROR_IO_PENDING == kErrorIoPending &&
                  ERROR_DEVICE_NOT_CONNECTED == kErrorDeviceNotConnected &&
                  ERROR_CLASS_ALREADY_EXISTS == kErrorClassAlreadyExists &&
                  ERROR_INVALID_WINDOW_HANDLE == kErrorInvalidWindowHandle &&
                  ERROR_CANNOT_FIND_WND_CLASS == kErrorCannotFindWindowClass,
              "error values are Windows' own");

}  // namespace lumo::platform
