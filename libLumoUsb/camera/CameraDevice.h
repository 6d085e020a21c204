// CameraDevice: one registered camera. Its address is the camera handle that
// callers receive; everything the camera keeps lives in its CameraState.
#pragma once

#include <memory>
#include <string>

#include "camera/CameraState.h"

namespace lumo::camera {

class CameraDevice {
 public:
  // Builds the camera's state, ring, event and USB device object from its
  // lower-cased device path. Opens nothing and starts no thread.
  explicit CameraDevice(std::string devicePath);
  // A camera destroyed while open is closed first.
  ~CameraDevice();
  CameraDevice(const CameraDevice&) = delete;
  CameraDevice& operator=(const CameraDevice&) = delete;

  // Lifecycle.
  bool Open();
  bool Close();
  bool IsOpen() const { return state_->lifecycle.IsOpen(); }
  // The camera's lifecycle phase (LifecycleState.h).
  Phase Lifecycle() const { return state_->lifecycle.Load(); }

  // Hot-plug, called by the manager's watcher only.
  // The camera's device is going away: register, buffer and frame calls on
  // it fail from now on, and those that wait end now. Safe to call while
  // other calls run; OnRemoved follows. True when an open camera went away
  // by this call.
  bool BeginRemoval();
  // The camera's device has gone: stops its threads (acquisition stays
  // requested), closes the device and leaves the camera detached. An open
  // camera keeps its handle.
  void OnRemoved();
  // The camera's device is back: opens it again, restarts the response
  // reader and, when acquisition was requested, the run. Does nothing (and
  // returns true) for a camera that is not open or not away. False when
  // the device is not present or does not open: the camera stays away,
  // and a later try may succeed.
  bool Reattach();
  bool IsRemoved() const { return state_->lifecycle.IsAway(); }
  // The manager drops the camera: true, and the camera never opens again,
  // unless it is open (then false, and nothing changes). Waits for an open
  // or close in progress.
  bool Retire();

  // Acquisition and frame hand-out.
  bool StartAcquisition();
  bool StopAcquisition();
  // The oldest assembled frame, waiting up to `timeoutMs`. The frame stays
  // valid until its buffer is reused or acquisition stops.
  bool TakeFrame(FrameRecord** image, unsigned int timeoutMs);
  // The oldest assembled frame, lent to the caller until it is given back
  // with EndLease (FrameLeases.h), waiting up to `timeoutMs`.
  bool LeaseFrame(FrameRecord** frame, unsigned int timeoutMs);
  // Frames lent now, the one TakeFrame holds included.
  int LentFrames() { return state_->frames.LentFrames(); }
  // Installs the frame callback (FrameDelivery.h); null removes it.
  void SetFrameCallback(LumoFrameCallback callback, void* context);
  // Bytes of raw image per frame the next run's buffers are made for.
  void StoreFrameBytes(std::int64_t bytes);
  int BufferCount() const;
  void StoreBufferCount(int count);
  // Bytes per stream transfer of the next run, rounded to what the image
  // reader uses.
  int TransferSize() const;
  void StoreTransferSize(int bytes);
  // Stores the bytes per pixel of raw frames, bounded to 0..16 (negative
  // values become 1).
  void StorePixelSize(int size);

  // Command channel.
  bool WriteRegister(std::int64_t address, void* data, int length, int timeoutMs);
  bool ReadRegister(std::int64_t address, void* data, int length, int timeoutMs);
  bool SendBuffer(const void* buffer, int length, int timeoutMs);
  bool ReadBuffer(void* buffer, int* length, int timeoutMs);

  CameraState& State() { return *state_; }
  const CameraState& State() const { return *state_; }

 private:
  std::unique_ptr<CameraState> state_;
};

static_assert(sizeof(CameraDevice) == sizeof(void*), "a camera object is one pointer");

}  // namespace lumo::camera
