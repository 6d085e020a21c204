// The operating-system seam of libLumoUsb.
//
// Everything the library needs from the OS goes through the functions declared
// here: device-interface enumeration, driver handles, I/O control requests,
// events, message-only windows with device-change notices, and the last error.
// One backend implements them: the Windows backend calls Win32; the virtual
// backend serves them in-process for Linux and for tests. Code above this
// folder never includes an OS header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ErrorCodes.h"

namespace lumo::platform {

// Opaque OS objects. Distinct types so that a window cannot be passed where a
// driver handle is expected.
struct HandleTag;
struct WindowTag;
struct InterfaceSetTag;
struct NotificationTag;
using Handle = HandleTag*;              // driver handle or event
using Window = WindowTag*;              // message-only window
using InterfaceSet = InterfaceSetTag*;  // snapshot of present device interfaces
using Notification = NotificationTag*;  // device-notice registration

// All bits set: the "no handle" value of driver handles and of enumeration sets.
inline Handle InvalidHandle() { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }
inline InterfaceSet InvalidInterfaceSet() {
  return reinterpret_cast<InterfaceSet>(~std::uintptr_t{0});
}

// A 128-bit class identifier with Windows' GUID layout.
struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16, "GUID layout");
bool operator==(const Guid& a, const Guid& b);
inline bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }

// State of one overlapped request; laid out like Windows' OVERLAPPED.
// `internal` holds the request's status while it runs (kStatusPending) and its
// error code once finished; `internalHigh` the final byte count. Both are
// written by the completing thread and read by the issuing one.
struct Overlapped {
  std::atomic<std::uintptr_t> internal{0};
  std::atomic<std::uintptr_t> internalHigh{0};
  std::uint32_t offset = 0;
  std::uint32_t offsetHigh = 0;
  Handle event = nullptr;
};
static_assert(sizeof(std::atomic<std::uintptr_t>) == sizeof(std::uintptr_t), "OVERLAPPED layout");
constexpr std::uintptr_t kStatusPending = 0x103;

// True while the driver has not completed the request (Windows'
// !HasOverlappedIoCompleted).
inline bool IsPending(const Overlapped& overlapped) {
  return overlapped.internal.load(std::memory_order_acquire) == kStatusPending;
}

// ---------------------------------------------------------------- last error

// The calling thread's last error, with Windows' values (ErrorCodes.h).
std::uint32_t LastError();
void SetLastError(std::uint32_t error);

// Numeric id of the calling thread (GetCurrentThreadId on Windows).
std::uint32_t CurrentThreadId();

// Names the calling thread for debuggers, profilers and per-thread CPU
// figures (at most 15 characters are kept). Best effort: nothing fails.
void NameCurrentThread(const char* name);

// ------------------------------------------------------------- enumeration

// Opens a snapshot of the present device interfaces of a class.
// Fails with InvalidInterfaceSet().
InterfaceSet OpenInterfaceSet(const Guid& interfaceClass);
// Takes the interface at `index` of the set and stores its path. Past the end
// it fails with kErrorNoMoreItems.
bool InterfacePathAt(InterfaceSet set, const Guid& interfaceClass, std::uint32_t index,
                     std::string* path);
void CloseInterfaceSet(InterfaceSet set);

// ------------------------------------------------------------ driver access

// Opens a device path for reading and writing, shared, existing only,
// overlapped. Fails with InvalidHandle() (kErrorFileNotFound for no such path).
Handle OpenDevicePath(const std::string& path);

// Closes a driver handle or an event.
bool CloseHandle(Handle handle);

// Issues an I/O control request. Without `overlapped` the call returns when
// the request has finished and stores its byte count in `bytesReturned`.
// With `overlapped` it may return false with kErrorIoPending: the request
// then finishes later, on another thread, which stores its status and byte
// count in `overlapped` and sets `overlapped->event`.
bool IoControl(Handle device, std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned,
               Overlapped* overlapped);

// The result of an overlapped request. Without `wait` an unfinished request
// fails with kErrorIoIncomplete; with `wait` the call waits for it.
bool OverlappedResult(Handle device, Overlapped* overlapped, std::uint32_t* bytesTransferred,
                      bool wait);

// ----------------------------------------------------------------- events

constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;

// Creates an unnamed event; nullptr on failure.
Handle CreateEventObject(bool manualReset, bool initiallySet);
bool SetEventObject(Handle event);
bool ResetEventObject(Handle event);
// Waits up to `timeoutMs` (kInfinite: without limit); returns kWaitObject0,
// kWaitTimeout or kWaitFailed.
std::uint32_t WaitForEvent(Handle event, std::uint32_t timeoutMs);

// ---------------------------------------------------------------- windows

constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kWmDeviceChange = 0x0219;
constexpr std::uintptr_t kDbtDeviceArrival = 0x8000;
constexpr std::uintptr_t kDbtDeviceQueryRemove = 0x8001;
constexpr std::uintptr_t kDbtDeviceRemoveComplete = 0x8004;
constexpr std::uint32_t kDbtDevTypDeviceInterface = 5;
constexpr std::uint32_t kDbtDevTypHandle = 6;
constexpr std::uint32_t kCsNoClose = 0x200;

// Calling convention of window procedures: 32-bit Windows calls them
// __stdcall; 64-bit Windows and the virtual backend have one convention only.
#if defined(_WIN32) && !defined(_WIN64)
#define LUMO_WINAPI __stdcall
#else
#define LUMO_WINAPI
#endif

using WindowProc = std::intptr_t(LUMO_WINAPI*)(Window window, std::uint32_t message,
                                               std::uintptr_t wParam, std::intptr_t lParam);

struct Message {
  Window window = nullptr;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// Head of a device-interface notice (DEV_BROADCAST_DEVICEINTERFACE_A); the
// NUL-terminated path follows the head, at byte 28 of the record.
struct DeviceInterfaceNotice {
  std::uint32_t size;
  std::uint32_t deviceType;
  std::uint32_t reserved;
  Guid classGuid;
  char name[1];
};
static_assert(offsetof(DeviceInterfaceNotice, name) == 28, "notice path offset");
static_assert(sizeof(DeviceInterfaceNotice) == 32, "notice record size");

// Registers a window class of the process's own module. False if the name is
// taken (kErrorClassAlreadyExists).
bool RegisterWindowClass(const std::string& className, WindowProc procedure, std::uint32_t style);
// Creates a message-only window of the class, owned by the calling thread.
Window CreateMessageWindow(const std::string& className);
void SetWindowUserData(Window window, std::intptr_t value);
std::intptr_t WindowUserData(Window window);

// Waits for the next message of the calling thread (of `filter` only, unless
// it is null). Returns >0 for a message, 0 for a quit message, -1 on error.
int ReceiveMessage(Message* message, Window filter);
void TranslateWindowMessage(const Message& message);
std::intptr_t DispatchWindowMessage(const Message& message);
std::intptr_t DefaultWindowProc(Window window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam);
// Queues a message for the window's thread.
bool PostWindowMessage(Window window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam);

// Registers `window` for arrival and removal notices of device interfaces of
// a class. nullptr on failure.
Notification RegisterInterfaceNotices(Window window, const Guid& interfaceClass);
// Registers `window` for notices about one open driver handle.
Notification RegisterHandleNotices(Window window, Handle device);
bool UnregisterNotices(Notification notification);

}  // namespace lumo::platform
