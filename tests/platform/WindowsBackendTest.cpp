// The Windows backend as it stands: events and the last error are Win32's
// own; enumeration, driver access and windows are stubs that fail every call
// with kErrorCallNotImplemented, and a manager over them finds no camera.
#include <gtest/gtest.h>

#include <thread>

#include "lumo/LumoUsbManager.h"
#include "platform/Platform.h"

namespace lumo::platform {
namespace {

// Runs `call` with a last error that it must overwrite and returns the last
// error it leaves.
template <typename Call>
std::uint32_t ErrorAfter(Call call) {
  SetLastError(kErrorSuccess);
  call();
  return LastError();
}

TEST(WindowsBackend, UnservedCallsFailWithTheirFailureValueAndCallNotImplemented) {
  const Guid anyClass{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  std::string path = "unchanged";
  Overlapped overlapped;
  std::uint32_t bytes = 7;
  Message message;
  const std::uint32_t notImplemented = kErrorCallNotImplemented;
  EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(OpenInterfaceSet(anyClass), InvalidInterfaceSet()); }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(InterfacePathAt(nullptr, anyClass, 0, &path)); }),
            notImplemented);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(OpenDevicePath("\\\\?\\usb#x"), InvalidHandle()); }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] {
              EXPECT_FALSE(IoControl(nullptr, 0x220000, nullptr, 0, nullptr, 0, &bytes, nullptr));
            }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(OverlappedResult(nullptr, &overlapped, &bytes, true)); }),
            notImplemented);
  EXPECT_EQ(bytes, 7u);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(RegisterWindowClass("c", nullptr, 0)); }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(CreateMessageWindow("c"), nullptr); }), notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(ReceiveMessage(&message, nullptr), -1); }), notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(PostWindowMessage(nullptr, kWmQuit, 0, 0)); }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_EQ(RegisterInterfaceNotices(nullptr, anyClass), nullptr); }),
            notImplemented);
  EXPECT_EQ(ErrorAfter([&] { EXPECT_FALSE(UnregisterNotices(nullptr)); }), notImplemented);
}

TEST(WindowsBackend, EventsWakeAWaiterOnAnotherThread) {
  Handle event = CreateEventObject(false, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  std::thread setter([&] { SetEventObject(event); });
  EXPECT_EQ(WaitForEvent(event, 5000), kWaitObject0);
  setter.join();
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);  // auto-reset
  EXPECT_TRUE(CloseHandle(event));
}

TEST(WindowsBackend, AManagerFindsNoCamera) {
  LumoUsbManager manager;
  EXPECT_EQ(manager.DeviceCount(), 0);
  EXPECT_EQ(manager.GetDeviceIDForIndex(0), reinterpret_cast<void*>(~std::uintptr_t{0}));
}

}  // namespace
}  // namespace lumo::platform
