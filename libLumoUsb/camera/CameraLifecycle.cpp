// Opening and closing a camera, the threads that run while it is open, and
// the camera being unplugged and plugged in again. The phases and their
// changes are drawn in LifecycleState.h.
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
  if (!state.usbDevice->HasHandle()) return;
  try {
    state.usbDevice->CloseAll();
  } catch (const std::exception&) {
  }
}

// Opens the camera's own device, at its present index. Another device may
// take that index between the look-up and the open (a device before it
// left or arrived): the open then fails with OtherDeviceAtIndex and the
// index is looked up again. False when the path is not present or the
// device does not open; the device is closed then.
bool OpenOwnDevice(CameraState& state, bool* present) {
  *present = true;
  for (int attempt = 0; attempt < 4; ++attempt) {
    const int index = PresentIndex(state);
    if (index < 0) break;
    bool opened = false;
    try {
      opened = state.usbDevice->OpenByIndex(static_cast<std::uint8_t>(index));
    } catch (const std::exception&) {
      opened = false;  // a handle left over from before could not be released
    }
    if (opened) return true;
    if (!state.usbDevice->OtherDeviceAtIndex) {
      const std::uint32_t osError = state.usbDevice->OsError;
      CloseUsbDevice(state);
      state.usbDevice->OsError = osError;
      return false;
    }
  }
  CloseUsbDevice(state);
  *present = false;
  return false;
}

}  // namespace

bool CameraDevice::Open() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (state.lifecycle.IsOpen()) return true;
  // Dropped by the manager while this call waited: its path has a new
  // camera, or none.
  if (state.lifecycle.Load() == Phase::kDropped) return Fail(LUMO_ERROR_NO_CAMERA);
  bool present = false;
  if (!OpenOwnDevice(state, &present)) {
    if (!present) return Fail(LUMO_ERROR_REMOVED);  // not among the present devices
    return Fail(LUMO_ERROR_OS, state.usbDevice->OsError);
  }
  state.frames.Attach();
  state.channel.MakeEndpoints(state.usbDevice->DriverHandle(),
                              static_cast<std::uint16_t>(state.usbDevice->Ep0PacketSize));
  // Closed, or closed and away: the device is present and open again. An
  // unplug from here on moves the camera away, and its removal handling
  // (which waits for this lock) stops what is started below.
  state.lifecycle.Opened();
  state.channel.StartReader();
  return true;
}

bool CameraDevice::Close() {
  CameraState& state = *state_;
  // A closed camera delivers no frames. Switched off before the lifecycle
  // lock is taken: a callback still running may be waiting for it.
  state.delivery.Set(nullptr, nullptr, this);
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  // New calls are refused from here on, and waiting ones end now.
  if (!state.lifecycle.Closed()) return true;
  state.channel.WakeWaiters();
  EndAcquisition(state);
  state.channel.StopReader();
  CloseUsbDevice(state);
  return true;
}

bool CameraDevice::BeginRemoval() {
  const bool wentAway = state_->lifecycle.WentAway();
  state_->channel.WakeWaiters();
  state_->frames.Detach();
  return wentAway;
}

void CameraDevice::OnRemoved() {
  CameraState& state = *state_;
  bool wentAway = BeginRemoval();
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  // An open that finished while this waited for the lock made the camera
  // open again: it goes away now.
  wentAway = state.lifecycle.WentAway() || wentAway;
  if (wentAway) Count(state.counters.removals);
  // The run stays requested, its pool and held frame kept: Reattach
  // resumes it.
  state.acqRunning = false;
  StopStreaming(state);
  state.channel.StopReader();
  CloseUsbDevice(state);
}

bool CameraDevice::Retire() {
  std::lock_guard<std::mutex> lifecycle(state_->lifecycleLock);
  return state_->lifecycle.Dropped() || state_->lifecycle.Load() == Phase::kDropped;
}

bool CameraDevice::Reattach() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  const Phase phase = state.lifecycle.Load();
  if (phase != Phase::kAwayOpen && phase != Phase::kAwayAcquiring) return true;  // nothing to do
  if (state.usbDevice->HasHandle()) return true;
  bool present = false;
  if (!OpenOwnDevice(state, &present)) return false;  // not present, or does not open
  Count(state.counters.reattaches);
  state.channel.ForgetAnswers();
  state.channel.MakeEndpoints(state.usbDevice->DriverHandle(),
                              static_cast<std::uint16_t>(state.usbDevice->Ep0PacketSize));
  // A refused start request leaves the camera open with acquisition
  // stopped.
  const bool resumed = phase == Phase::kAwayAcquiring && StartStreaming(state);
  state.lifecycle.Returned(resumed);
  state.frames.Attach();
  state.channel.StartReader();
  return true;
}

}  // namespace lumo::camera
