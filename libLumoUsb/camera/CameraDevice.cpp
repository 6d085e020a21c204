#include "camera/CameraDevice.h"

#include "command/BufferChannel.h"
#include "command/RegisterAccess.h"

namespace lumo::camera {

CameraDevice::CameraDevice(std::string devicePath)
    : state_(std::make_unique<CameraState>(std::move(devicePath))) {
  // The camera's address is its handle: its threads' messages name it.
  state_->channel.cameraHandle = this;
}

// The manager destroys a camera only after its removal, when it is closed
// and none of its threads runs; closing here covers any other owner. The
// state then releases the ring, the event and the USB device object.
CameraDevice::~CameraDevice() { Close(); }

bool CameraDevice::WriteRegister(std::int64_t address, void* data, int length, int timeoutMs) {
  return command::WriteRegister(state_->channel, address, static_cast<std::uint8_t*>(data), length,
                                timeoutMs);
}

bool CameraDevice::ReadRegister(std::int64_t address, void* data, int length, int timeoutMs) {
  return command::ReadRegister(state_->channel, address, static_cast<std::uint8_t*>(data), length,
                               timeoutMs);
}

bool CameraDevice::SendBuffer(const void* buffer, int length, int timeoutMs) {
  return command::SendBuffer(state_->channel, static_cast<const std::uint8_t*>(buffer), length,
                             timeoutMs);
}

bool CameraDevice::ReadBuffer(void* buffer, int* length, int timeoutMs) {
  return command::ReadBuffer(state_->channel, static_cast<std::uint8_t*>(buffer), length,
                             timeoutMs);
}

}  // namespace lumo::camera
