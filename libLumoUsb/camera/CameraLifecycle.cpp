// Opening and closing a camera, the threads that run while it is open, and
// the camera being unplugged and plugged in again.
//
// States (isOpen / removed / acquisition requested and running):
//   Registered  0 / 0 / -      nothing runs, device closed
//   Open        1 / 0 / 0 0    response reader runs, device open
//   Acquiring   1 / 0 / 1 1    response reader and both stream threads
//   Detached    1 / 1 / kept 0 nothing runs, device closed
// Open and Close move between Registered and Open (Close also from
// Acquiring or Detached); OnRemoved moves Open or Acquiring to Detached, and
// Reattach moves Detached back to Open, or to Acquiring when acquisition was
// requested and the camera accepts the start request again.
#include <exception>
#include <mutex>

#include "Failure.h"
#include "camera/CameraDevice.h"
#include "usb/DevicePath.h"

namespace lumo::camera {

namespace {

// The camera's index among the present devices of the driver, or -1.
int PresentIndex(CameraState& state) {
  usb::CLumoUSBDevice& device = *state.usbDevice;
  const int count = device.CountDevices();
  return usb::IndexOfDevicePath(state.path, device.InterfaceGuid(), count);
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
  if (state.channel.isOpen.load()) return true;
  const int index = PresentIndex(state);
  if (index < 0) return Fail(LUMO_ERROR_REMOVED);  // not among the present devices
  bool opened = false;
  try {
    opened = state.usbDevice->OpenByIndex(static_cast<std::uint8_t>(index));
  } catch (const std::exception&) {
    opened = false;  // a handle left over from before could not be released
  }
  if (!opened) {
    const std::uint32_t osError = state.usbDevice->OsError;
    CloseUsbDevice(state);
    return Fail(LUMO_ERROR_OS, osError);
  }
  // The device is present and open again: whatever removal was recorded
  // while the camera was closed no longer holds.
  state.channel.removed = false;
  state.frames.Attach();
  state.deviceOpen = true;
  state.channel.Open(state.usbDevice->DriverHandle(),
                     static_cast<std::uint16_t>(state.usbDevice->Ep0PacketSize));
  return true;
}

bool CameraDevice::Close() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (!state.channel.isOpen.load()) return true;
  // New calls are refused from here on, and waiting ones end now.
  state.channel.BeginClose();
  EndAcquisition(state);
  state.channel.StopReader();
  CloseUsbDevice(state);
  return true;
}

void CameraDevice::BeginRemoval() {
  state_->channel.Detach();
  state_->frames.Detach();
}

void CameraDevice::OnRemoved() {
  CameraState& state = *state_;
  BeginRemoval();
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  // Counted once per detach: an open camera that was attached.
  if (state.channel.isOpen.load() && state.deviceOpen.load()) Count(state.counters.removals);
  if (state.acqRequested.load() && state.acqRunning.load()) {
    // acqRequested stays: Reattach resumes the run.
    state.acqRunning = false;
    StopStreaming(state);
  }
  if (state.channel.isOpen.load()) state.channel.StopReader();
  CloseUsbDevice(state);
}

void CameraDevice::Reattach() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (!state.channel.isOpen.load() || state.usbDevice->HasHandle()) return;
  const int index = PresentIndex(state);
  if (index < 0) return;  // a later arrival of the path tries again
  bool opened = false;
  try {
    opened = state.usbDevice->OpenByIndex(static_cast<std::uint8_t>(index));
  } catch (const std::exception&) {
    opened = false;
  }
  if (!opened) {
    CloseUsbDevice(state);
    return;
  }
  state.deviceOpen = true;
  Count(state.counters.reattaches);
  state.channel.Reattach(state.usbDevice->DriverHandle(),
                         static_cast<std::uint16_t>(state.usbDevice->Ep0PacketSize));
  state.frames.Attach();
  if (state.acqRequested.load()) {
    // A refused start request leaves acquisition stopped.
    const bool started = StartStreaming(state);
    state.acqRequested = started;
  }
}

}  // namespace lumo::camera
