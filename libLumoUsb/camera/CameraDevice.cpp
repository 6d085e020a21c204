#include "camera/CameraDevice.h"

namespace lumo::camera {

CameraDevice::CameraDevice(std::string devicePath)
    : state_(std::make_unique<CameraState>(std::move(devicePath))) {}

// The manager destroys a camera only after its removal, when it is closed
// and none of its threads runs: the state then releases the ring, the event
// and the USB device object.
CameraDevice::~CameraDevice() = default;

}  // namespace lumo::camera
