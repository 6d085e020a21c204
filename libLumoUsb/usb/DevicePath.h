// Device paths: the lower-cased interface path under which the rest of the
// library names a device, and what a path tells about the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/DriverInterface.h"
#include "platform/Platform.h"

namespace lumo::usb {

// Longest device path the library accepts. An interface whose path is longer
// is treated as having no path: it is neither registered nor opened by path.
constexpr std::size_t kMaxDevicePathLength = 255;

// Lower-cases every character with the C library's tolower.
std::string LowerCase(std::string text);

// The lower-cased path of the interface at `index` of the class; empty when
// the index has no interface or its path is longer than kMaxDevicePathLength.
std::string DevicePathAt(int index, const platform::Guid& interfaceClass);

// The index 0 .. count - 1 of the first interface whose DevicePathAt equals
// `path` byte for byte, else -1.
int IndexOfDevicePath(const std::string& path, const platform::Guid& interfaceClass, int count);

// USB vendor and product IDs of the camera.
using platform::kCameraProductId;
using platform::kCameraVendorId;

// What the library knows of a device interface: its path and, where known,
// the USB vendor and product IDs of its device. A backend that learns the
// IDs some other way than from the path may fill them in itself.
struct InterfaceIdentity {
  std::string path;
  std::optional<std::uint16_t> vendorId;
  std::optional<std::uint16_t> productId;
};

// The identity of an interface path. A USB device's path begins with
// "\\?\usb#vid_VVVV&pid_PPPP", in either case, VVVV and PPPP being four hex
// digits each; the IDs are taken from there whatever follows. Other paths
// give no IDs.
InterfaceIdentity IdentifyInterface(const std::string& path);

// True for a camera: a device with the camera's vendor and product IDs.
bool IsCamera(const InterfaceIdentity& identity);

}  // namespace lumo::usb
