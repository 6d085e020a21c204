// Device paths: the lower-cased interface path under which the rest of the
// library names a device.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace lumo::usb
