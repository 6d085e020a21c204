#include "usb/LumoUSBDevice.h"

#include <exception>

namespace lumo::usb {

namespace {
// A walk over an enumeration that keeps failing at single indices still
// ends; a real set never comes near this many interfaces.
constexpr std::uint32_t kMaxEnumerationIndices = 1024;
constexpr std::uint8_t kMaxDeviceCount = 255;
}  // namespace

CLumoUSBDevice::CLumoUSBDevice(platform::Window window, const platform::Guid& interfaceClass,
                               bool openNow)
    : notificationWindow_(window), interfaceGuid_(interfaceClass) {
  if (notificationWindow_) {
    interfaceNotification_ =
        platform::RegisterInterfaceNotices(notificationWindow_, interfaceGuid_);
    if (!interfaceNotification_) OsError = platform::LastError();
  }
  if (openNow) OpenByIndex(0);
}

CLumoUSBDevice::~CLumoUSBDevice() {
  try {
    CloseAll();
  } catch (const std::exception&) {
    // A destructor cannot report it; OsError held the reason.
  }
}

std::uint8_t CLumoUSBDevice::CountDevices() {
  std::uint8_t count = 0;
  platform::InterfaceSet set = platform::OpenInterfaceSet(interfaceGuid_);
  if (set != platform::InvalidInterfaceSet()) {
    for (std::uint32_t index = 0; index < kMaxEnumerationIndices; ++index) {
      if (platform::InterfacePathAt(set, interfaceGuid_, index, nullptr)) {
        // An 8-bit count that wrapped would report 256 devices as none.
        if (count < kMaxDeviceCount) ++count;
      } else if (platform::LastError() == platform::kErrorNoMoreItems) {
        break;
      }
    }
    platform::CloseInterfaceSet(set);
  }
  deviceCount_ = count;
  return count;
}

}  // namespace lumo::usb
