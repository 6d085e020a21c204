#include "camera/CameraState.h"

#include "usb/DriverInterface.h"

namespace lumo::camera {

CameraState::CameraState(std::string devicePath)
    : path(std::move(devicePath)),
      // Not value-initialised: the ring's pages are only touched by streaming.
      ring(new std::uint8_t[kStreamRingSize]),
      dataEvent(platform::CreateEventObject(false, false)) {
  usbDevice = std::make_unique<usb::CLumoUSBDevice>(nullptr, usb::kDriverInterfaceClass);
}

CameraState::~CameraState() = default;

}  // namespace lumo::camera
