// CLumoUSBDevice: one device of the kernel driver's interface class.
//
// This file holds the part that works without opening a device: counting
// the present interfaces of the class and, when the owner gives a window,
// registering that window for arrival and removal notices of the class.
#pragma once

#include <cstdint>

#include "platform/Platform.h"

namespace lumo::usb {

class CLumoUSBDevice {
 public:
  // `window` (may be null) is registered for device-interface notices of
  // `interfaceClass`; a failed registration is kept in OsError.
  CLumoUSBDevice(platform::Window window, const platform::Guid& interfaceClass);
  ~CLumoUSBDevice();
  CLumoUSBDevice(const CLumoUSBDevice&) = delete;
  CLumoUSBDevice& operator=(const CLumoUSBDevice&) = delete;

  // Number of present interfaces of the class (at most 255); also kept as
  // the device count.
  std::uint8_t CountDevices();
  const platform::Guid& InterfaceGuid() const { return interfaceGuid_; }
  bool HasHandle() const { return driverHandle_ != platform::InvalidHandle(); }
  platform::Handle DriverHandle() const { return driverHandle_; }
  std::uint8_t DeviceCount() const { return deviceCount_; }
  bool HasInterfaceNotification() const { return interfaceNotification_ != nullptr; }

  // Operating-system error of the last failed platform call.
  std::uint32_t OsError = 0;

 private:
  platform::Window notificationWindow_ = nullptr;
  platform::Handle driverHandle_ = platform::InvalidHandle();
  // Never withdrawn: only the hot-plug window's device registers one, and
  // that device lives as long as the process.
  platform::Notification interfaceNotification_ = nullptr;
  platform::Guid interfaceGuid_;
  std::uint8_t deviceCount_ = 0;
};

}  // namespace lumo::usb
