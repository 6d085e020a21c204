// The Windows backend against the Windows API itself (under Wine in CI):
// enumeration of a class without devices, driver-style handles with
// synchronous and overlapped requests, events, message-only windows with
// device-change notices, and the hot-plug pump of a manager.
//
// No device of the driver's class exists here, so the requests run on a
// named pipe, which serves I/O control requests like a driver handle, and
// the device-change notices are sent by the test as the system would send
// them (notices that carry a record are sent, never posted).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After <windows.h>:
#include <dbt.h>
#include <gtest/gtest.h>
#include <winioctl.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lumo/LumoUsbManager.h"
#include "manager/ManagerState.h"
#include "platform/Platform.h"
#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::platform {
namespace {

// Named-pipe requests (the pipe file system's own control codes).
constexpr std::uint32_t kPipeListen = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, 0);
constexpr std::uint32_t kPipePeek =
    CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED, FILE_READ_DATA);
struct PipePeekHead {  // FILE_PIPE_PEEK_BUFFER without its data
  std::uint32_t state;
  std::uint32_t readDataAvailable;
  std::uint32_t numberOfMessages;
  std::uint32_t messageLength;
};

// A device-interface notice for `path`, as the system builds it.
std::vector<std::uint8_t> NoticeRecord(const std::string& path) {
  std::vector<std::uint8_t> record(offsetof(DeviceInterfaceNotice, name) + path.size() + 1, 0);
  DeviceInterfaceNotice head{};
  head.size = static_cast<std::uint32_t>(record.size());
  head.deviceType = kDbtDevTypDeviceInterface;
  head.classGuid = usb::kDriverInterfaceClass;
  std::memcpy(record.data(), &head, offsetof(DeviceInterfaceNotice, name));
  std::memcpy(record.data() + offsetof(DeviceInterfaceNotice, name), path.data(), path.size());
  return record;
}

TEST(WindowsBackend, AClassWithoutDevicesEnumeratesNothing) {
  usb::CLumoUSBDevice device(nullptr, usb::kDriverInterfaceClass);
  EXPECT_EQ(device.CountDevices(), 0);
  EXPECT_EQ(usb::DevicePathAt(0, usb::kDriverInterfaceClass), "");

  InterfaceSet set = OpenInterfaceSet(usb::kDriverInterfaceClass);
  ASSERT_NE(set, InvalidInterfaceSet());
  std::string path = "unchanged";
  EXPECT_FALSE(InterfacePathAt(set, usb::kDriverInterfaceClass, 0, &path));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
  EXPECT_EQ(path, "unchanged");
  CloseInterfaceSet(set);

  SetLastError(kErrorSuccess);
  EXPECT_EQ(OpenDevicePath("\\\\?\\usb#vid_04b4&pid_00f1#none#{ae18aa60-7f6a-11d4-97dd-"
                           "00010229b959}"),
            InvalidHandle());
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST(WindowsBackend, EventsWakeAWaiterOnAnotherThread) {
  Handle event = CreateEventObject(false, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  std::thread setter([&] { SetEventObject(event); });
  EXPECT_EQ(WaitForEvent(event, 5000), kWaitObject0);
  setter.join();
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);  // auto-reset
  Handle manual = CreateEventObject(true, true);
  EXPECT_EQ(WaitForEvent(manual, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(manual, 0), kWaitObject0);  // stays set
  EXPECT_TRUE(ResetEventObject(manual));
  EXPECT_EQ(WaitForEvent(manual, 0), kWaitTimeout);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(manual));
}

// The pipe's server end waits, overlapped, for a client: the request stays
// pending, its result is not ready without waiting, and opening the pipe
// like a device path finishes it. Synchronous requests on these overlapped
// handles return only once they have finished.
TEST(WindowsBackend, OverlappedAndSynchronousRequestsOnAnOverlappedHandle) {
  const std::string pipe = "\\\\.\\pipe\\lumo-backend-" + std::to_string(::GetCurrentProcessId());
  HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  Handle serverEnd = static_cast<Handle>(server);

  Overlapped overlapped;
  overlapped.event = CreateEventObject(true, false);
  std::uint32_t bytes = 0;
  ASSERT_FALSE(IoControl(serverEnd, kPipeListen, nullptr, 0, nullptr, 0, &bytes, &overlapped));
  ASSERT_EQ(LastError(), kErrorIoPending);
  EXPECT_TRUE(IsPending(overlapped));
  EXPECT_FALSE(OverlappedResult(serverEnd, &overlapped, &bytes, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);
  EXPECT_EQ(WaitForEvent(overlapped.event, 0), kWaitTimeout);

  Handle client = OpenDevicePath(pipe);
  ASSERT_NE(client, InvalidHandle());
  EXPECT_EQ(WaitForEvent(overlapped.event, 5000), kWaitObject0);
  EXPECT_FALSE(IsPending(overlapped));
  EXPECT_TRUE(OverlappedResult(serverEnd, &overlapped, &bytes, false));

  // The server writes five bytes; the client peeks at them synchronously.
  OVERLAPPED write{};
  write.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  if (!::WriteFile(server, "hello", 5, &written, &write)) {
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }
  ASSERT_TRUE(::GetOverlappedResult(server, &write, &written, TRUE));
  ASSERT_EQ(written, 5u);
  std::uint8_t answer[64] = {};
  bytes = 0;
  ASSERT_TRUE(IoControl(client, kPipePeek, nullptr, 0, answer, sizeof answer, &bytes, nullptr))
      << LastError();
  PipePeekHead head{};
  std::memcpy(&head, answer, sizeof head);
  EXPECT_EQ(head.readDataAvailable, 5u);
  EXPECT_EQ(bytes, sizeof head + 5);
  EXPECT_EQ(std::memcmp(answer + sizeof head, "hello", 5), 0);

  ::CloseHandle(write.hEvent);
  EXPECT_TRUE(CloseHandle(client));

  // A synchronous request that finishes later is waited for: once the
  // server end is disconnected, a client gets in only while it listens.
  ASSERT_TRUE(::DisconnectNamedPipe(server));
  Handle later = InvalidHandle();
  std::thread connector([&] {
    for (int attempt = 0; attempt < 500 && later == InvalidHandle(); ++attempt) {
      ::Sleep(10);
      later = OpenDevicePath(pipe);
    }
  });
  EXPECT_TRUE(IoControl(serverEnd, kPipeListen, nullptr, 0, nullptr, 0, &bytes, nullptr))
      << LastError();
  connector.join();
  ASSERT_NE(later, InvalidHandle());
  EXPECT_TRUE(CloseHandle(later));
  EXPECT_TRUE(CloseHandle(overlapped.event));
  EXPECT_TRUE(CloseHandle(serverEnd));
}

// A message-only window on a thread of its own, as the hot-plug pump runs
// it: what its procedure saw, on which thread.
class PumpWindow {
 public:
  struct Seen {
    std::uint32_t thread;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::string path;  // of a device-change record
  };

  explicit PumpWindow(const std::string& className)
      : thread_([this, className] { Run(className); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~PumpWindow() {
    if (!thread_.joinable()) return;
    if (window_) PostWindowMessage(window_, kWmQuit, 0, 0);
    thread_.join();
  }

  Window window() const { return window_; }
  Notification notification() const { return notification_; }
  std::uint32_t threadId() const { return threadId_; }
  int loopResult() const { return loopResult_; }
  bool WaitForSeen(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return seen_.size() >= count; });
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  void Join() { thread_.join(); }

 private:
  static std::intptr_t LUMO_WINAPI Procedure(Window window, std::uint32_t message,
                                             std::uintptr_t wParam, std::intptr_t lParam) {
    auto* self = reinterpret_cast<PumpWindow*>(WindowUserData(window));
    if (self && (message == kWmDeviceChange || message >= WM_USER)) {
      Seen seen{CurrentThreadId(), message, wParam, {}};
      if (message == kWmDeviceChange && lParam)
        seen.path = reinterpret_cast<const DeviceInterfaceNotice*>(lParam)->name;
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->seen_.push_back(seen);
      self->changed_.notify_all();
    }
    return DefaultWindowProc(window, message, wParam, lParam);
  }

  void Run(const std::string& className) {
    const bool registered = RegisterWindowClass(className, &Procedure, kCsNoClose);
    Window window = registered ? CreateMessageWindow(className) : nullptr;
    if (window) SetWindowUserData(window, reinterpret_cast<std::intptr_t>(this));
    Notification notification =
        window ? RegisterInterfaceNotices(window, usb::kDriverInterfaceClass) : nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window_ = window;
      notification_ = notification;
      threadId_ = CurrentThreadId();
      ready_ = true;
      changed_.notify_all();
    }
    if (!window) return;
    Message message;
    int result;
    while ((result = ReceiveMessage(&message, nullptr)) > 0) {
      TranslateWindowMessage(message);
      DispatchWindowMessage(message);
    }
    loopResult_ = result;
    if (notification) UnregisterNotices(notification);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  Window window_ = nullptr;
  Notification notification_ = nullptr;
  std::uint32_t threadId_ = 0;
  int loopResult_ = 1;
  std::vector<Seen> seen_;
  std::thread thread_;
};

TEST(WindowsBackend, AMessageOnlyWindowServesPostedMessagesAndSentNotices) {
  PumpWindow pump("lumoBackendTestWnd" + std::to_string(CurrentThreadId()));
  ASSERT_NE(pump.window(), nullptr) << LastError();
  EXPECT_NE(pump.notification(), nullptr) << "registration for the interface class";

  ASSERT_TRUE(PostWindowMessage(pump.window(), WM_USER + 1, 7, 0));
  const std::string path = "\\\\?\\usb#vid_04b4&pid_00f1#5&1a2b3c&0&1#{x}";
  std::vector<std::uint8_t> record = NoticeRecord(path);
  ::SendMessageA(reinterpret_cast<HWND>(pump.window()), WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(record.data()));
  ASSERT_TRUE(pump.WaitForSeen(2));
  // The window's thread takes sent messages before posted ones, so the
  // order of the two depends on when it woke.
  auto seen = pump.seen();
  ASSERT_EQ(seen.size(), 2u);
  if (seen[0].message == kWmDeviceChange) std::swap(seen[0], seen[1]);
  EXPECT_EQ(seen[0].message, WM_USER + 1u);
  EXPECT_EQ(seen[0].wParam, 7u);
  EXPECT_EQ(seen[1].message, kWmDeviceChange);
  EXPECT_EQ(seen[1].wParam, kDbtDeviceArrival);
  EXPECT_EQ(seen[1].path, path);
  for (const auto& one : seen) EXPECT_EQ(one.thread, pump.threadId());

  // A quit message ends the loop with 0.
  ASSERT_TRUE(PostWindowMessage(pump.window(), kWmQuit, 0, 0));
  pump.Join();
  EXPECT_EQ(pump.loopResult(), 0);
}

// The message-only window of `manager`'s pump thread: the one whose user
// data is the manager's registry.
HWND PumpWindowOf(LumoUsbManager& manager) {
  const auto state = reinterpret_cast<LONG_PTR>(&manager::StateOf(manager));
  for (HWND window = ::FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
       window = ::FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr)) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    if (std::strncmp(name, "wndClsMsgPumpWnd", 16) == 0 &&
        ::GetWindowLongPtrA(window, GWLP_USERDATA) == state)
      return window;
  }
  return nullptr;
}

// Nothing of the driver's class is present. The registry lists the cameras
// the driver's device list holds, so a notice of a camera the list does not
// hold registers nothing, and its removal changes nothing.
TEST(WindowsBackend, ThePumpWindowListsOnlyCamerasTheDriverEnumerates) {
  LumoUsbManager manager;
  EXPECT_EQ(manager.DeviceCount(), 0);
  HWND window = PumpWindowOf(manager);
  ASSERT_NE(window, nullptr);

  const std::string camera =
      "\\\\?\\USB#VID_04B4&PID_00F1#SMOKE1#{ae18aa60-7f6a-11d4-97dd-"
      "00010229b959}";
  std::vector<std::uint8_t> other = NoticeRecord("\\\\?\\usb#vid_1234&pid_00f1#smoke2#{x}");
  ::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(other.data()));
  EXPECT_EQ(manager.DeviceCount(), 0);

  std::vector<std::uint8_t> arrival = NoticeRecord(camera);
  ::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(arrival.data()));
  EXPECT_EQ(manager.DeviceCount(), 0);
  EXPECT_EQ(manager.GetDeviceIDForIndex(-1), reinterpret_cast<void*>(~std::uintptr_t{0}));
  const std::string lower = usb::LowerCase(camera);
  EXPECT_EQ(manager.OpenDevice(const_cast<char*>(lower.c_str())),
            reinterpret_cast<void*>(~std::uintptr_t{0}));

  std::vector<std::uint8_t> removal = NoticeRecord(camera);
  ::SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                 reinterpret_cast<LPARAM>(removal.data()));
  EXPECT_EQ(manager.DeviceCount(), 0);
  EXPECT_EQ(manager.GetDeviceIDForIndex(-1), reinterpret_cast<void*>(~std::uintptr_t{0}));
}

}  // namespace
}  // namespace lumo::platform
