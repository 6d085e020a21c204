// Emulated devices of the camera driver's interface class.
//
// An EmulatedDevice plugs into the library's virtual backend and plays both
// the kernel driver's side and the device's own. Users develop and test
// camera applications with it when no camera is at hand:
//
//   auto camera = lumo::emulator::EmulatedDevice::Camera("LUMO0001");
//   camera->Plug();
//   LumoUsbManager manager;  // finds the camera
//
// Destroying a device unplugs it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lumo/Export.h"

namespace lumo::emulator {

constexpr std::uint16_t kCameraVendorId = 0x04B4;
constexpr std::uint16_t kCameraProductId = 0x00F1;

struct DeviceIdentity {
  std::uint16_t vendorId = kCameraVendorId;
  std::uint16_t productId = kCameraProductId;
  std::string serial;
};

// The interface path Windows reports for a device of the driver's class:
// \\?\USB#VID_xxxx&PID_xxxx#<serial>#{ae18aa60-7f6a-11d4-97dd-00010229b959}
LUMO_EMULATOR_API std::string DevicePathFor(const DeviceIdentity& identity);

class LUMO_EMULATOR_API EmulatedDevice {
 public:
  explicit EmulatedDevice(DeviceIdentity identity);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // A camera with the given serial number.
  static std::unique_ptr<EmulatedDevice> Camera(const std::string& serial);
  // A device of the same driver that is not a camera.
  static std::unique_ptr<EmulatedDevice> OtherDevice(const std::string& serial,
                                                     std::uint16_t vendorId = 0x04B4,
                                                     std::uint16_t productId = 0x00F3);

  const DeviceIdentity& Identity() const;
  // The interface path, in the mixed case Windows reports.
  const std::string& Path() const;

  // Makes the device present and notifies registered windows. False if it
  // is plugged already or another device has the same path.
  bool Plug();
  // Removes the device: its pending requests fail, new ones are refused.
  bool Unplug();
  bool IsPlugged() const;

  // Requests the device refused because it does not serve their code.
  std::uint64_t RefusedRequests() const;

 private:
  class Driver;
  std::unique_ptr<Driver> driver_;
};

// Waits until every device-change notice sent so far has been handled by
// the window that receives it. False after `timeoutMs`.
LUMO_EMULATOR_API bool WaitForNoticesHandled(std::uint32_t timeoutMs);

}  // namespace lumo::emulator
