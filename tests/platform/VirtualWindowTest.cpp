// Window classes, message-only windows, message loops and device-change
// notices of the virtual backend.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/ScriptedDriver.h"

namespace lumo::platform {
namespace {

using test::kOtherClass;
using test::kTestClass;
using test::ScriptedDriver;

struct Seen {
  std::uint32_t thread = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::uint32_t recordSize = 0;
  std::uint32_t deviceType = 0;
  Guid classGuid{};
  std::string path;
};

// A window on a thread of its own with a message loop, recording every
// message that its procedure sees.
class LoopWindow {
 public:
  LoopWindow(const std::string& className, const Guid* noticeClass) {
    std::unique_lock<std::mutex> lock(mutex_);
    thread_ = std::thread([this, className, noticeClass] { Run(className, noticeClass); });
    condition_.wait(lock, [this] { return started_; });
  }
  ~LoopWindow() {
    PostWindowMessage(window_, kWmQuit, 0, 0);
    thread_.join();
  }

  Window window() const { return window_; }
  std::uint32_t threadId() const { return threadId_; }
  Notification notification() const { return notification_; }

  std::vector<Seen> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait_for(lock, std::chrono::seconds(5), [&] { return seen_.size() >= count; });
    return seen_;
  }

 private:
  static std::intptr_t LUMO_WINAPI Procedure(Window window, std::uint32_t message,
                                             std::uintptr_t wParam, std::intptr_t lParam) {
    auto* self = reinterpret_cast<LoopWindow*>(WindowUserData(window));
    Seen seen;
    seen.thread = CurrentThreadId();
    seen.message = message;
    seen.wParam = wParam;
    if (message == kWmDeviceChange && lParam) {
      const auto* record = reinterpret_cast<const std::uint8_t*>(lParam);
      std::memcpy(&seen.recordSize, record, 4);
      std::memcpy(&seen.deviceType, record + 4, 4);
      std::memcpy(&seen.classGuid, record + 12, 16);
      seen.path = reinterpret_cast<const char*>(record + 28);
    }
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->seen_.push_back(seen);
      self->condition_.notify_all();
    }
    return DefaultWindowProc(window, message, wParam, lParam);
  }

  void Run(const std::string& className, const Guid* noticeClass) {
    RegisterWindowClass(className, &Procedure, kCsNoClose);
    Window window = CreateMessageWindow(className);
    SetWindowUserData(window, reinterpret_cast<std::intptr_t>(this));
    Notification notification =
        noticeClass ? RegisterInterfaceNotices(window, *noticeClass) : nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window_ = window;
      threadId_ = CurrentThreadId();
      notification_ = notification;
      started_ = true;
      condition_.notify_all();
    }
    Message message;
    while (ReceiveMessage(&message, nullptr) > 0) {
      TranslateWindowMessage(message);
      DispatchWindowMessage(message);
    }
    if (notification) UnregisterNotices(notification);
  }

  std::mutex mutex_;
  std::condition_variable condition_;
  std::thread thread_;
  bool started_ = false;
  Window window_ = nullptr;
  std::uint32_t threadId_ = 0;
  Notification notification_ = nullptr;
  std::vector<Seen> seen_;
};

// A window procedure with the Win32 calling convention that does nothing.
std::intptr_t LUMO_WINAPI IgnoreMessage(Window, std::uint32_t, std::uintptr_t, std::intptr_t) {
  return 0;
}

TEST(VirtualWindow, ClassNamesAreUniqueAndUserDataIsKept) {
  const WindowProc procedure = &IgnoreMessage;
  EXPECT_TRUE(RegisterWindowClass("testClassA", procedure, 0));
  EXPECT_FALSE(RegisterWindowClass("testClassA", procedure, 0));
  EXPECT_EQ(LastError(), kErrorClassAlreadyExists);
  EXPECT_EQ(CreateMessageWindow("noSuchClass"), nullptr);

  Window window = CreateMessageWindow("testClassA");
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowUserData(window), 0);
  SetWindowUserData(window, 0x1234);
  EXPECT_EQ(WindowUserData(window), 0x1234);
  EXPECT_EQ(RegisterInterfaceNotices(reinterpret_cast<Window>(0x999990), kTestClass), nullptr);
  EXPECT_EQ(LastError(), kErrorInvalidWindowHandle);
}

TEST(VirtualWindow, PostedMessagesReachTheProcedureOnTheOwningThread) {
  LoopWindow loop("testClassPost", nullptr);
  ASSERT_TRUE(PostWindowMessage(loop.window(), 0x0400, 7, 0));
  ASSERT_TRUE(PostWindowMessage(loop.window(), 0x0401, 8, 0));
  auto seen = loop.WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, 0x0400u);
  EXPECT_EQ(seen[1].wParam, 8u);
  EXPECT_EQ(seen[0].thread, loop.threadId());
  EXPECT_NE(seen[0].thread, CurrentThreadId());
}

TEST(VirtualWindow, DeviceNoticesCarryThePathAtByte28ToWindowsOfThatClass) {
  LoopWindow listener("testClassNotices", &kTestClass);
  LoopWindow other("testClassOther", &kOtherClass);
  ASSERT_NE(listener.notification(), nullptr);

  ScriptedDriver driver;
  const std::string path = "\\\\?\\USB#VID_04B4&PID_00F1#SN1#{guid}";
  ASSERT_TRUE(virt::Plug(kTestClass, path, &driver));
  ASSERT_TRUE(virt::Unplug(path));
  ASSERT_TRUE(virt::WaitForNoticesDelivered(5000));

  auto seen = listener.WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, kWmDeviceChange);
  EXPECT_EQ(seen[0].wParam, kDbtDeviceArrival);
  EXPECT_EQ(seen[1].wParam, kDbtDeviceRemoveComplete);
  for (const Seen& notice : seen) {
    EXPECT_EQ(notice.path, path);
    EXPECT_EQ(notice.deviceType, kDbtDevTypDeviceInterface);
    EXPECT_EQ(notice.recordSize, 28u + path.size() + 1);
    EXPECT_TRUE(notice.classGuid == kTestClass);
    EXPECT_EQ(notice.thread, listener.threadId());
  }
  EXPECT_TRUE(other.WaitFor(0).empty());
}

TEST(VirtualWindow, WithdrawnRegistrationGetsNoMoreNotices) {
  LoopWindow listener("testClassWithdraw", &kTestClass);
  EXPECT_EQ(virt::InterfaceNoticeRegistrations(kTestClass), 1u);
  ASSERT_TRUE(UnregisterNotices(listener.notification()));
  EXPECT_EQ(virt::InterfaceNoticeRegistrations(kTestClass), 0u);

  ScriptedDriver driver;
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\Dev#Quiet", &driver));
  virt::Unplug("\\\\?\\Dev#Quiet");
  ASSERT_TRUE(virt::WaitForNoticesDelivered(1000));
  ASSERT_TRUE(PostWindowMessage(listener.window(), 0x0400, 0, 0));
  auto seen = listener.WaitFor(1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, 0x0400u);
}

TEST(VirtualWindow, QuitMessageEndsReceiveWithZero) {
  RegisterWindowClass("testClassQuit", &IgnoreMessage, 0);
  Window window = CreateMessageWindow("testClassQuit");
  ASSERT_TRUE(PostWindowMessage(window, 0x0400, 0, 0));
  ASSERT_TRUE(PostWindowMessage(window, kWmQuit, 0, 0));
  Message message;
  EXPECT_EQ(ReceiveMessage(&message, nullptr), 1);
  EXPECT_EQ(message.message, 0x0400u);
  EXPECT_EQ(ReceiveMessage(&message, nullptr), 0);
  EXPECT_EQ(message.message, kWmQuit);
}

}  // namespace
}  // namespace lumo::platform
