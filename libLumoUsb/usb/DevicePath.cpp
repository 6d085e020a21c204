#include "usb/DevicePath.h"

#include <cctype>

namespace lumo::usb {

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string DevicePathAt(int index, const platform::Guid& interfaceClass) {
  if (index < 0) return {};
  platform::InterfaceSet set = platform::OpenInterfaceSet(interfaceClass);
  if (set == platform::InvalidInterfaceSet()) return {};
  std::string path;
  const bool found =
      platform::InterfacePathAt(set, interfaceClass, static_cast<std::uint32_t>(index), &path);
  platform::CloseInterfaceSet(set);
  if (!found || path.size() > kMaxDevicePathLength) return {};
  return LowerCase(std::move(path));
}

int IndexOfDevicePath(const std::string& path, const platform::Guid& interfaceClass, int count) {
  if (path.empty()) return -1;  // DevicePathAt's "no interface" never matches
  for (int i = 0; i < count; ++i)
    if (DevicePathAt(i, interfaceClass) == path) return i;
  return -1;
}

}  // namespace lumo::usb
