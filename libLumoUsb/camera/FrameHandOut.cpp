#include "camera/FrameHandOut.h"

#include <chrono>
#include <new>

#include "Log.h"

namespace lumo::camera {

bool FrameHandOut::MakePool(std::int32_t count) {
  if (count <= 0 || count > kMaxBufferCount) return false;
  framePool.reset(new (std::nothrow) FrameRecord[static_cast<std::size_t>(count)]);
  if (!framePool) return false;
  framePoolCount = count;
  return true;
}

void FrameHandOut::ReleasePool() {
  framePool.reset();
  framePoolCount = 0;
}

void FrameHandOut::BeginRun() {
  std::lock_guard<std::mutex> lock(frameLock);
  readyFrames.clear();
  freeFrames.clear();
  frameReady = 0;
  for (std::int32_t i = 0; framePool && i < framePoolCount; ++i)
    freeFrames.push_back(&framePool[i]);
}

void FrameHandOut::EndRun() {
  std::lock_guard<std::mutex> lock(frameLock);
  readyFrames.clear();
  freeFrames.clear();
  frameReady = 0;
}

FrameRecord* FrameHandOut::TakeFree() {
  std::lock_guard<std::mutex> lock(frameLock);
  if (freeFrames.empty()) return nullptr;
  FrameRecord* frame = freeFrames.front();
  freeFrames.pop_front();
  return frame;
}

bool FrameHandOut::Queue(FrameRecord* frame, std::size_t limit) {
  std::lock_guard<std::mutex> lock(frameLock);
  if (readyFrames.size() >= limit) {
    freeFrames.push_front(frame);  // the pool keeps every buffer for the run
    return false;
  }
  readyFrames.push_back(frame);
  frameReady = 1;
  frameCondition.notify_one();
  return true;
}

void FrameHandOut::Detach() {
  std::lock_guard<std::mutex> lock(frameLock);
  detached = true;
  frameCondition.notify_all();
}

void FrameHandOut::Attach() {
  std::lock_guard<std::mutex> lock(frameLock);
  detached = false;
}

bool FrameHandOut::TakeFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen) {
  std::unique_lock<std::mutex> lock(frameLock);
  const auto limit = std::chrono::milliseconds(timeoutMs);
  if (!deviceOpen) {
    // Closed: only a frame announced after this moment ends the wait.
    if (!frameCondition.wait_until(lock, std::chrono::steady_clock::now() + limit,
                                   [&] { return frameReady != 0 || detached; }))
      return false;
  }
  if (!frameCondition.wait_until(lock, std::chrono::steady_clock::now() + limit, [&] {
        return frameReady != 0 || !readyFrames.empty() || detached;
      }))
    return false;
  if (detached) return false;
  frameReady = 0;
  if (readyFrames.empty()) return false;
  FrameRecord* frame = readyFrames.front();
  readyFrames.pop_front();
  TraceLog("CameraGetImage:%p,%d,where:%d\r\n", static_cast<void*>(frame),
           static_cast<int>(frame->header.frameNumber), static_cast<int>(readyFrames.size()));
  freeFrames.push_back(frame);
  if (image) *image = frame;
  return true;
}

}  // namespace lumo::camera
