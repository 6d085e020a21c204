// <windows.h> for the Windows backend's sources, and the conversions
// between the seam's opaque types and Win32's. Included only inside this
// folder.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <type_traits>

#include "platform/Platform.h"

namespace lumo::platform::win32 {

inline HANDLE ToWin32(Handle handle) { return static_cast<HANDLE>(handle); }
inline HWND ToWin32(Window window) { return reinterpret_cast<HWND>(window); }
inline Window FromWin32(HWND window) { return reinterpret_cast<Window>(window); }

// The seam's values are Windows' own, so that they pass through unchanged.
// (On 32-bit Windows LONG_PTR is a long and intptr_t an int: same size and
// sign, distinct types.)
static_assert(sizeof(LRESULT) == sizeof(std::intptr_t) && std::is_signed_v<LRESULT> &&
                  sizeof(LPARAM) == sizeof(std::intptr_t) && std::is_signed_v<LPARAM> &&
                  sizeof(WPARAM) == sizeof(std::uintptr_t) && std::is_unsigned_v<WPARAM> &&
                  sizeof(UINT) == sizeof(std::uint32_t),
              "window procedure arguments");
static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED) &&
                  offsetof(Overlapped, internal) == offsetof(OVERLAPPED, Internal) &&
                  offsetof(Overlapped, internalHigh) == offsetof(OVERLAPPED, InternalHigh) &&
                  offsetof(Overlapped, offset) == offsetof(OVERLAPPED, Offset) &&
                  offsetof(Overlapped, offsetHigh) == offsetof(OVERLAPPED, OffsetHigh) &&
                  offsetof(Overlapped, event) == offsetof(OVERLAPPED, hEvent),
              "Overlapped is laid out like OVERLAPPED");
static_assert(kStatusPending == STATUS_PENDING, "pending status");

// The OVERLAPPED that the system reads and writes: the seam's record itself.
inline OVERLAPPED* ToWin32(Overlapped* overlapped) {
  return reinterpret_cast<OVERLAPPED*>(overlapped);
}

}  // namespace lumo::platform::win32
