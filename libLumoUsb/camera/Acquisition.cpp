// Starting and stopping acquisition, and handing out assembled frames.
#include <algorithm>
#include <chrono>

#include "Failure.h"
#include "Log.h"
#include "camera/CameraDevice.h"
#include "camera/FrameAssembler.h"
#include "camera/ImageReader.h"
#include "usb/EndPoint.h"
#include "usb/TransferFailure.h"

namespace lumo::camera {

namespace {

constexpr std::uint8_t kStartRequest = 0xFE;
constexpr std::uint16_t kStartValue = 0xFF00;
constexpr std::uint32_t kStartLength = 64;
constexpr std::uint32_t kStartTimeoutMs = 2000;
constexpr std::int32_t kMaxPixelSize = 16;

// Sends the start request on the device's control endpoint.
bool SendStartRequest(usb::CLumoUSBDevice& device) {
  if (!device.ControlEndpoint) return Fail(LUMO_ERROR_REMOVED);
  constexpr std::uint8_t kDeviceRecipient = 0;
  const usb::ControlSetup setup = usb::ControlSetup::Vendor(kDeviceRecipient, true, kStartRequest,
                                                            kStartValue, kStartTimeoutMs);
  std::uint8_t answer[kStartLength] = {};
  std::uint32_t length = kStartLength;
  if (device.ControlEndpoint->ControlSync(setup, answer, &length)) return true;
  return Fail(usb::TransferFailure(*device.ControlEndpoint, platform::LastError()));
}

// Makes the frame pool of a run; a count it cannot make a pool of is a bad
// argument, anything else a lack of memory.
bool MakeFramePool(CameraState& state) {
  const std::int32_t count = state.bufferCount;
  const std::size_t recordBytes =
      RecordBytesForRawImage(static_cast<std::uint64_t>(state.frameBytes.load()));
  if (state.frames.MakePool(count, recordBytes)) return true;
  if (count <= 0 || count > kMaxBufferCount) return Fail(LUMO_ERROR_BAD_ARGUMENT);
  return Fail(LUMO_ERROR_OS, platform::kErrorNotEnoughMemory);
}

}  // namespace

bool StartStreaming(CameraState& state) {
  // A run resumed after an unplug keeps the pool it had: frames handed out
  // before stay where they are.
  if (!state.frames.HasPool() && !MakeFramePool(state)) return false;
  if (!SendStartRequest(*state.usbDevice)) {
    state.frames.ReleasePool();
    return false;
  }
  StopStreaming(state);  // a thread that ended on its own is joined first
  // Bytes a stopped run left unread belong to that run's frames: the new
  // run starts at a block boundary.
  state.streamRing.DiscardUnread();
  state.acqRunning = true;
  state.imageReaderThread = std::thread(RunImageReader, &state);
  state.frameThread = std::thread(RunFrameAssembler, &state);
  return true;
}

void StopStreaming(CameraState& state) {
  // acqRunning is clear: end the threads' waits now instead of at their
  // limits. The reader's outstanding transfers are aborted (each then
  // completes, and the reader still finishes every one), and the assembler
  // is woken.
  if (state.imageReaderThread.joinable()) {
    if (usb::CLumoUSBEndPoint* endpoint = FindStreamEndpoint(*state.usbDevice))
      endpoint->AbortPending();
    state.imageReaderThread.join();
  }
  state.streamRing.Wake();
  if (state.frameThread.joinable()) state.frameThread.join();
}

void EndAcquisition(CameraState& state) {
  state.acqRunning = false;
  StopStreaming(state);
  state.frames.ReleasePool();
}

bool CameraDevice::StartAcquisition() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (state.lifecycle.AcquisitionRequested()) return true;
  if (!state.lifecycle.IsOpen()) return Fail(LUMO_ERROR_NOT_OPEN);
  if (state.lifecycle.IsAway() || !state.usbDevice->HasHandle()) return Fail(LUMO_ERROR_REMOVED);
  if (!StartStreaming(state)) return false;
  // Open -> acquiring, or away -> away and acquiring when the camera went
  // meanwhile (its removal handling stops the threads and keeps the run).
  state.lifecycle.Started();
  return true;
}

bool CameraDevice::StopAcquisition() {
  std::lock_guard<std::mutex> lifecycle(state_->lifecycleLock);
  if (state_->lifecycle.Stopped()) EndAcquisition(*state_);
  return true;
}

bool CameraDevice::TakeFrame(FrameRecord** image, unsigned int timeoutMs) {
  if (state_->delivery.Active()) return Fail(LUMO_ERROR_CALLBACK_SET);
  bool allLent = false;
  if (state_->frames.TakeFrame(image, timeoutMs, state_->lifecycle.Attached(), &allLent))
    return true;
  if (allLent) return Fail(LUMO_ERROR_ALL_LENT);
  if (IsRemoved()) return Fail(LUMO_ERROR_REMOVED);
  if (!IsOpen()) return Fail(LUMO_ERROR_NOT_OPEN);
  return Fail(LUMO_ERROR_TIMED_OUT);
}

bool CameraDevice::LeaseFrame(FrameRecord** frame, unsigned int timeoutMs) {
  if (state_->delivery.Active()) return Fail(LUMO_ERROR_CALLBACK_SET);
  bool allLent = false;
  if (state_->frames.LeaseFrame(frame, timeoutMs, state_->lifecycle.Attached(), this, &allLent))
    return true;
  if (allLent) return Fail(LUMO_ERROR_ALL_LENT);
  if (IsRemoved()) return Fail(LUMO_ERROR_REMOVED);
  if (!IsOpen()) return Fail(LUMO_ERROR_NOT_OPEN);
  return Fail(LUMO_ERROR_TIMED_OUT);
}

void CameraDevice::SetFrameCallback(LumoFrameCallback callback, void* context) {
  state_->delivery.Set(callback, context, this);
}

void CameraDevice::StoreFrameBytes(std::int64_t bytes) {
  state_->frameBytes = bytes < 0 ? 0 : std::min<std::int64_t>(bytes, kMaxRawImageBytes);
}

int CameraDevice::BufferCount() const { return state_->bufferCount; }

void CameraDevice::StoreBufferCount(int count) { state_->bufferCount = count; }

int CameraDevice::TransferSize() const {
  return static_cast<int>(StreamTransferSize(state_->transferSize.load()));
}

void CameraDevice::StoreTransferSize(int bytes) {
  state_->transferSize = static_cast<std::int32_t>(StreamTransferSize(bytes));
}

void CameraDevice::StorePixelSize(int size) {
  state_->pixelSize = size > kMaxPixelSize ? kMaxPixelSize : (size < 0 ? 1 : size);
}

}  // namespace lumo::camera
