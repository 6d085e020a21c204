// Opening and closing a camera, and the threads that run while it is open.
#include <exception>
#include <mutex>

#include "camera/CameraDevice.h"
#include "command/ResponseReceiver.h"
#include "usb/DevicePath.h"

namespace lumo::camera {

namespace {

// A control endpoint on the camera's driver handle, set up as endpoint zero.
std::unique_ptr<usb::CLumoControlEndPoint> MakeEndpointZero(const usb::CLumoUSBDevice& device) {
  auto endpoint = std::make_unique<usb::CLumoControlEndPoint>(device.DriverHandle(), nullptr);
  endpoint->DescriptorLength = 7;
  endpoint->DescriptorType = 5;
  endpoint->EndpointAddress = 0;
  endpoint->EndpointAttributes = 0;
  endpoint->PacketSize = static_cast<std::uint16_t>(device.Ep0PacketSize);
  endpoint->PollInterval = 0;
  return endpoint;
}

// The camera's index among the present devices of the driver, or -1.
int PresentIndex(CameraState& state) {
  usb::CLumoUSBDevice& device = *state.usbDevice;
  const int count = device.CountDevices();
  return usb::IndexOfDevicePath(state.path, device.InterfaceGuid(), count);
}

void CreateEndpoints(CameraState& state) {
  if (!state.responseEndpoint) state.responseEndpoint = MakeEndpointZero(*state.usbDevice);
  if (!state.commandEndpoint) state.commandEndpoint = MakeEndpointZero(*state.usbDevice);
}

void StartResponseReader(CameraState& state) {
  if (state.responseReaderThread.joinable()) state.responseReaderThread.join();
  state.responseReaderRunning = true;
  state.responseReaderThread = std::thread(command::RunResponseReader, &state);
}

// Stops the response reader and only then destroys the endpoints it uses;
// the command endpoint once no register or buffer call uses it any more.
void StopResponseReader(CameraState& state) {
  if (!state.responseReaderRunning.load()) return;
  state.responseReaderRunning = false;
  if (state.responseReaderThread.joinable()) state.responseReaderThread.join();
  state.responseEndpoint.reset();
  std::lock_guard<platform::TimedMutex> turn(state.commandLock);
  state.commandEndpoint.reset();
}

// Wakes callers waiting for a register answer or for buffer bytes, so that
// they see the camera closed now rather than at the end of their limit.
void WakeWaiters(CameraState& state) {
  {
    std::lock_guard<std::mutex> lock(state.responseLock);
    state.responseCondition.notify_all();
  }
  std::lock_guard<std::mutex> lock(state.bufferLock);
  state.bufferCondition.notify_all();
}

// Releases the USB device. When the OS refuses to release the driver
// handle, the refusal stays in the device's OsError and the camera goes on
// as closed: an exception must not reach the pump thread or the caller.
void CloseUsbDevice(CameraState& state) {
  state.deviceOpen = false;
  if (!state.usbDevice->HasHandle()) return;
  try {
    state.usbDevice->CloseAll();
  } catch (const std::exception&) {
  }
}

}  // namespace

bool CameraDevice::Open() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (state.isOpen.load()) return true;
  const int index = PresentIndex(state);
  if (index < 0) return false;
  bool opened = false;
  try {
    opened = state.usbDevice->OpenByIndex(static_cast<std::uint8_t>(index));
  } catch (const std::exception&) {
    opened = false;  // a handle left over from before could not be released
  }
  if (!opened) {
    CloseUsbDevice(state);
    return false;
  }
  // The device is present and open again: whatever removal was recorded
  // while the camera was closed no longer holds.
  state.removed = false;
  state.deviceOpen = true;
  {
    std::lock_guard<platform::TimedMutex> turn(state.commandLock);
    CreateEndpoints(state);
  }
  // Callers see the camera open only once its endpoints exist; the
  // response reader, which ends at once on a closed camera, starts after.
  state.isOpen = true;
  StartResponseReader(state);
  return true;
}

bool CameraDevice::Close() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (!state.isOpen.load()) return true;
  // New calls are refused from here on, and waiting ones end now.
  state.isOpen = false;
  WakeWaiters(state);
  EndAcquisition(state);
  StopResponseReader(state);
  CloseUsbDevice(state);
  return true;
}

}  // namespace lumo::camera
