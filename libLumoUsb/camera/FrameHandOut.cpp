#include "camera/FrameHandOut.h"

#include <chrono>
#include <new>

#include "Log.h"

namespace lumo::camera {

bool FrameHandOut::MakePool(std::int32_t count) {
  if (count <= 0 || count > kMaxBufferCount) return false;
  std::vector<std::unique_ptr<FrameRecord>> pool;
  pool.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    pool.emplace_back(new (std::nothrow) FrameRecord);
    if (!pool.back()) return false;
  }
  framePool = std::move(pool);
  return true;
}

void FrameHandOut::ReleasePool() {
  {
    std::lock_guard<std::mutex> lock(frameLock);
    held = nullptr;
    readyFrames.clear();
    freeFrames.clear();
  }
  framePool.clear();
}

void FrameHandOut::BeginRun() {
  std::lock_guard<std::mutex> lock(frameLock);
  readyFrames.clear();
  freeFrames.clear();
  frameReady = 0;
  // A run resumed after an unplug leaves the frame its caller holds alone.
  for (const auto& record : framePool)
    if (record.get() != held) freeFrames.push_back(record.get());
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

void FrameHandOut::GiveBack(FrameRecord* frame) {
  std::lock_guard<std::mutex> lock(frameLock);
  freeFrames.push_front(frame);
}

std::unique_ptr<FrameRecord> FrameHandOut::Exchange(std::unique_ptr<FrameRecord> filled) {
  std::lock_guard<std::mutex> lock(frameLock);
  if (freeFrames.empty()) return filled;
  FrameRecord* const free = freeFrames.front();
  for (auto& owned : framePool) {
    if (owned.get() != free) continue;
    freeFrames.pop_front();
    owned.swap(filled);  // the pool now owns the filled record
    readyFrames.push_back(owned.get());
    frameReady = 1;
    frameCondition.notify_one();
    return filled;  // the free buffer, to be filled next
  }
  return filled;  // a free buffer the pool does not own: cannot happen
}

bool FrameHandOut::TakeFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen) {
  std::unique_lock<std::mutex> lock(frameLock);
  // Asking for the next frame ends the use of the last one.
  if (held) {
    freeFrames.push_back(held);
    held = nullptr;
  }
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
  held = frame;
  if (image) *image = frame;
  return true;
}

}  // namespace lumo::camera
