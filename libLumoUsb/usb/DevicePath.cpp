#include "usb/DevicePath.h"

#include <cctype>

namespace lumo::usb {

namespace {

// Value of four lower-case hex digits at `text[at]`, or nothing.
std::optional<std::uint16_t> HexId(const std::string& text, std::size_t at) {
  if (text.size() < at + 4) return std::nullopt;
  std::uint16_t value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    int digit = 0;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return std::nullopt;
    value = static_cast<std::uint16_t>(value * 16 + digit);
  }
  return value;
}

}  // namespace

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

InterfaceIdentity IdentifyInterface(const std::string& path) {
  InterfaceIdentity identity{path, std::nullopt, std::nullopt};
  // "\\?\usb#vid_" is 12 characters, the vendor ID 4, "&pid_" 5, the product ID 4.
  constexpr std::size_t kHeadLength = 12 + 4 + 5 + 4;
  if (path.size() < kHeadLength) return identity;
  const std::string head = LowerCase(path.substr(0, kHeadLength));
  if (head.compare(0, 12, "\\\\?\\usb#vid_") != 0 || head.compare(16, 5, "&pid_") != 0)
    return identity;
  const std::optional<std::uint16_t> vendorId = HexId(head, 12);
  const std::optional<std::uint16_t> productId = HexId(head, 21);
  if (vendorId && productId) {
    identity.vendorId = vendorId;
    identity.productId = productId;
  }
  return identity;
}

bool IsCamera(const InterfaceIdentity& identity) {
  return identity.vendorId == kCameraVendorId && identity.productId == kCameraProductId;
}

}  // namespace lumo::usb
