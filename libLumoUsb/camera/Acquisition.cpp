// Starting and stopping acquisition, and handing out assembled frames.
#include <algorithm>
#include <chrono>
#include <new>

#include "Log.h"
#include "camera/CameraDevice.h"
#include "camera/FrameAssembler.h"
#include "camera/ImageReader.h"

namespace lumo::camera {

namespace {

constexpr std::uint8_t kStartRequest = 0xFE;
constexpr std::uint16_t kStartValue = 0xFF00;
constexpr std::uint32_t kStartLength = 64;
constexpr std::uint32_t kStartTimeoutMs = 2000;
constexpr std::int32_t kMaxPixelSize = 16;

// Makes the frame pool of the next run. False when the count cannot make a
// pool: 0 or less, more than kMaxBufferCount, or more memory than there is.
bool MakeFramePool(CameraState& state) {
  const std::int32_t count = state.bufferCount;
  if (count <= 0 || count > kMaxBufferCount) return false;
  state.framePool.reset(new (std::nothrow) FrameRecord[static_cast<std::size_t>(count)]);
  if (!state.framePool) return false;
  state.framePoolCount = count;
  return true;
}

// Sends the start request on the device's control endpoint.
bool SendStartRequest(usb::CLumoUSBDevice& device) {
  if (!device.ControlEndpoint) return false;
  usb::ControlSetup setup;
  setup.recipient = 0;  // device
  setup.kind = 2;       // vendor
  setup.deviceToHost = true;
  setup.request = kStartRequest;
  setup.value = kStartValue;
  setup.index = 0;
  setup.timeoutMs = kStartTimeoutMs;
  std::uint8_t answer[kStartLength] = {};
  std::uint32_t length = kStartLength;
  return device.ControlEndpoint->ControlSync(setup, answer, &length);
}

}  // namespace

bool StartStreaming(CameraState& state) {
  if (!MakeFramePool(state)) return false;
  if (!SendStartRequest(*state.usbDevice)) {
    state.framePool.reset();
    state.framePoolCount = 0;
    return false;
  }
  // Bytes a stopped run left unread belong to that run's frames: the new
  // run starts reading where the camera's new bytes will be written.
  state.ringReadPos.store(state.ringWritePos.load(std::memory_order_acquire),
                          std::memory_order_release);
  StopStreaming(state);  // a thread that ended on its own is joined first
  state.acqRunning = true;
  state.imageReaderThread = std::thread(RunImageReader, &state);
  state.frameThread = std::thread(RunFrameAssembler, &state);
  return true;
}

void StopStreaming(CameraState& state) {
  if (state.imageReaderThread.joinable()) state.imageReaderThread.join();
  if (state.frameThread.joinable()) state.frameThread.join();
}

void EndAcquisition(CameraState& state) {
  if (!state.acqRequested.load()) return;
  state.acqRunning = false;
  state.acqRequested = false;
  StopStreaming(state);
}

bool CameraDevice::StartAcquisition() {
  CameraState& state = *state_;
  std::lock_guard<std::mutex> lifecycle(state.lifecycleLock);
  if (state.acqRequested.load()) return true;
  if (!state.usbDevice->HasHandle()) {
    state.acqRequested = false;
    return false;
  }
  const bool started = StartStreaming(state);
  state.acqRequested = started;
  return started;
}

bool CameraDevice::StopAcquisition() {
  std::lock_guard<std::mutex> lifecycle(state_->lifecycleLock);
  EndAcquisition(*state_);
  return true;
}

bool CameraDevice::TakeFrame(FrameRecord** image, unsigned int timeoutMs) {
  CameraState& state = *state_;
  std::unique_lock<std::mutex> lock(state.frameLock);
  const auto limit = std::chrono::milliseconds(timeoutMs);
  if (!state.deviceOpen.load()) {
    // Removed: only a frame announced after this moment ends the wait.
    if (!state.frameCondition.wait_until(lock, std::chrono::steady_clock::now() + limit,
                                         [&] { return state.frameReady != 0; }))
      return false;
  }
  if (!state.frameCondition.wait_until(lock, std::chrono::steady_clock::now() + limit, [&] {
        return state.frameReady != 0 || !state.readyFrames.empty();
      }))
    return false;
  state.frameReady = 0;
  if (state.readyFrames.empty()) return false;
  FrameRecord* frame = state.readyFrames.front();
  state.readyFrames.pop_front();
  TraceLog("CameraGetImage:%p,%d,where:%d\r\n", static_cast<void*>(frame),
           static_cast<int>(frame->header.frameNumber), static_cast<int>(state.readyFrames.size()));
  state.freeFrames.push_back(frame);
  if (image) *image = frame;
  return true;
}

int CameraDevice::BufferCount() const { return state_->bufferCount; }

void CameraDevice::StoreBufferCount(int count) { state_->bufferCount = count; }

void CameraDevice::StorePixelSize(int size) {
  state_->pixelSize = size > kMaxPixelSize ? kMaxPixelSize : (size < 0 ? 1 : size);
}

}  // namespace lumo::camera
