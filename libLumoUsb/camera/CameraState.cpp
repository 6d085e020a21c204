#include "camera/CameraState.h"

#include "usb/DriverInterface.h"

namespace lumo::camera {

CameraState::CameraState(std::string devicePath) : path(std::move(devicePath)) {
  usbDevice = std::make_unique<usb::CLumoUSBDevice>(nullptr, usb::kDriverInterfaceClass);
  // The camera opens its own device only, whatever its index is by then.
  usbDevice->RequirePath(path);
}

CameraState::~CameraState() = default;

}  // namespace lumo::camera
