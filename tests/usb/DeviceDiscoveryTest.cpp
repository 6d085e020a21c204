// Counting the driver's device interfaces and turning indices into device
// paths and back.
#include <gtest/gtest.h>

#include <thread>

#include "lumo/emulator/EmulatedDevice.h"
#include "platform/virtual/VirtualBus.h"
#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::usb {
namespace {

using emulator::EmulatedDevice;

TEST(DeviceDiscovery, NothingPresent) {
  CLumoUSBDevice device(nullptr, kDriverInterfaceClass);
  EXPECT_EQ(device.CountDevices(), 0);
  EXPECT_EQ(DevicePathAt(0, kDriverInterfaceClass), "");
  EXPECT_EQ(IndexOfDevicePath("", kDriverInterfaceClass, 4), -1);
  EXPECT_FALSE(device.HasHandle());
  EXPECT_EQ(device.DriverHandle(), platform::InvalidHandle());
  EXPECT_FALSE(device.HasInterfaceNotification());
  EXPECT_EQ(device.OsError, 0u);
}

TEST(DeviceDiscovery, CountsEveryDeviceOfTheClassAndLowerCasesPaths) {
  auto camera = EmulatedDevice::Camera("AbC123");
  auto other = EmulatedDevice::OtherDevice("Other1");
  ASSERT_TRUE(other->Plug());
  ASSERT_TRUE(camera->Plug());

  CLumoUSBDevice device(nullptr, kDriverInterfaceClass);
  EXPECT_EQ(device.CountDevices(), 2);
  EXPECT_EQ(device.DeviceCount(), 2);
  EXPECT_TRUE(device.InterfaceGuid() == kDriverInterfaceClass);

  const std::string expected =
      "\\\\?\\usb#vid_04b4&pid_00f1#abc123#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
  EXPECT_EQ(DevicePathAt(1, kDriverInterfaceClass), expected);
  EXPECT_EQ(IndexOfDevicePath(expected, kDriverInterfaceClass, 2), 1);
  // Paths are compared byte for byte with lower-cased ones.
  EXPECT_EQ(IndexOfDevicePath(camera->Path(), kDriverInterfaceClass, 2), -1);
  // Only indices below the count are looked at.
  EXPECT_EQ(IndexOfDevicePath(expected, kDriverInterfaceClass, 1), -1);
  EXPECT_EQ(DevicePathAt(2, kDriverInterfaceClass), "");
  EXPECT_EQ(DevicePathAt(-1, kDriverInterfaceClass), "");

  other->Unplug();
  EXPECT_EQ(device.CountDevices(), 1);
  EXPECT_EQ(IndexOfDevicePath(expected, kDriverInterfaceClass, 1), 0);
}

TEST(DeviceDiscovery, PathsLongerThan255CharactersAreNotUsed) {
  auto longName = EmulatedDevice::Camera(std::string(200, 'x'));
  ASSERT_GT(longName->Path().size(), kMaxDevicePathLength);
  ASSERT_TRUE(longName->Plug());
  CLumoUSBDevice device(nullptr, kDriverInterfaceClass);
  EXPECT_EQ(device.CountDevices(), 1);
  EXPECT_EQ(DevicePathAt(0, kDriverInterfaceClass), "");
  EXPECT_EQ(IndexOfDevicePath(LowerCase(longName->Path()), kDriverInterfaceClass, 1), -1);
}

TEST(DeviceDiscovery, CountStopsAt255) {
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  for (int i = 0; i < 257; ++i) {
    devices.push_back(EmulatedDevice::OtherDevice("D" + std::to_string(i)));
    ASSERT_TRUE(devices.back()->Plug());
  }
  CLumoUSBDevice device(nullptr, kDriverInterfaceClass);
  EXPECT_EQ(device.CountDevices(), 255);
}

// A window procedure with the Win32 calling convention that does nothing.
std::intptr_t LUMO_WINAPI IgnoreMessage(platform::Window, std::uint32_t, std::uintptr_t,
                                        std::intptr_t) {
  return 0;
}

TEST(DeviceDiscovery, WindowIsRegisteredForNoticesOfTheClass) {
  // Registrations of devices built by earlier tests in this process are
  // never withdrawn: count from here.
  const std::size_t before = platform::virt::InterfaceNoticeRegistrations(kDriverInterfaceClass);
  std::thread owner([before] {
    platform::RegisterWindowClass("discoveryTestClass", &IgnoreMessage, 0);
    platform::Window window = platform::CreateMessageWindow("discoveryTestClass");
    ASSERT_NE(window, nullptr);
    CLumoUSBDevice device(window, kDriverInterfaceClass);
    EXPECT_TRUE(device.HasInterfaceNotification());
    EXPECT_EQ(device.OsError, 0u);
    EXPECT_EQ(platform::virt::InterfaceNoticeRegistrations(kDriverInterfaceClass), before + 1);
  });
  owner.join();
  // Without a window nothing is registered.
  CLumoUSBDevice quiet(nullptr, kDriverInterfaceClass);
  EXPECT_EQ(platform::virt::InterfaceNoticeRegistrations(kDriverInterfaceClass), before + 1);
}

TEST(DeviceDiscovery, FailedRegistrationKeepsTheErrorAndGoesOn) {
  CLumoUSBDevice device(reinterpret_cast<platform::Window>(0x7770), kDriverInterfaceClass);
  EXPECT_FALSE(device.HasInterfaceNotification());
  EXPECT_EQ(device.OsError, platform::kErrorInvalidWindowHandle);
  EXPECT_FALSE(device.HasHandle());
  EXPECT_EQ(device.CountDevices(), 0);
}

}  // namespace
}  // namespace lumo::usb
