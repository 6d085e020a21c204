#include "camera/FrameHandOut.h"

#include <chrono>
#include <new>

#include "Log.h"
#include "camera/FrameLeases.h"

namespace lumo::camera {

FrameHandOut::FrameHandOut() : return_(std::make_shared<LeaseReturn>()) { return_->handOut = this; }

FrameHandOut::~FrameHandOut() {
  std::lock_guard<std::mutex> lock(return_->lock);
  return_->handOut = nullptr;
}

bool FrameHandOut::MakePool(std::int32_t count, std::size_t recordBytes) {
  if (count <= 0 || count > kMaxBufferCount) return false;
  auto made = std::make_shared<FramePool>();
  made->records.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    made->records.push_back(MakeRecord(recordBytes));
    if (!made->records.back()) return false;
  }
  std::lock_guard<std::mutex> lock(frameLock);
  pool = std::move(made);
  poolLeases_ = 0;
  sequenceNext_ = 0;
  handedNext_ = 0;
  return true;
}

void FrameHandOut::ReleasePool() {
  std::shared_ptr<FramePool> released;
  {
    std::lock_guard<std::mutex> lock(frameLock);
    held = nullptr;
    readyFrames.clear();
    freeFrames.clear();
    poolLeases_ = 0;  // leases of the old pool no longer take its buffers
    released = std::move(pool);
  }
  // Freed here, outside the lock, unless leases keep it.
}

void FrameHandOut::BeginRun() {
  std::lock_guard<std::mutex> lock(frameLock);
  readyFrames.clear();
  freeFrames.clear();
  frameReady = 0;
  if (!pool) return;
  // A run resumed after an unplug leaves the frames its callers hold alone.
  for (const auto& record : pool->records)
    if (record.get() != held && !FactsOf(*record).lent) freeFrames.push_back(record.get());
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

FrameRecord* FrameHandOut::Grow(FrameRecord* record, std::size_t recordBytes) {
  // Made outside the lock: a large allocation takes a while.
  RecordPtr grown = MakeRecord(recordBytes);
  std::lock_guard<std::mutex> lock(frameLock);
  if (!grown || !pool) {
    freeFrames.push_front(record);
    return nullptr;
  }
  for (auto& owned : pool->records) {
    if (owned.get() != record) continue;
    owned.swap(grown);  // the small record goes when `grown` does
    return owned.get();
  }
  freeFrames.push_front(record);  // not the pool's: cannot happen
  return nullptr;
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

void FrameHandOut::WakeWaiters() {
  std::lock_guard<std::mutex> lock(frameLock);
  frameCondition.notify_all();
}

void FrameHandOut::GiveBack(FrameRecord* frame) {
  std::lock_guard<std::mutex> lock(frameLock);
  freeFrames.push_front(frame);
}

RecordPtr FrameHandOut::Exchange(RecordPtr filled) {
  std::lock_guard<std::mutex> lock(frameLock);
  if (freeFrames.empty() || !pool) return filled;
  FrameRecord* const free = freeFrames.front();
  for (auto& owned : pool->records) {
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

bool FrameHandOut::WaitForReady(std::unique_lock<std::mutex>& lock, FrameRecord** frame,
                                unsigned int timeoutMs, bool deviceOpen) {
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
  *frame = readyFrames.front();
  readyFrames.pop_front();
  // What the caller learns of the frames lost before this one.
  FrameFacts& facts = FactsOf(**frame);
  facts.lostBefore = facts.sequence >= handedNext_ ? facts.sequence - handedNext_ : 0;
  handedNext_ = facts.sequence + 1;
  TraceLog("CameraGetImage:%p,%d,where:%d\r\n", static_cast<void*>(*frame),
           static_cast<int>((*frame)->header.frameNumber), static_cast<int>(readyFrames.size()));
  return true;
}

bool FrameHandOut::TakeFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen,
                             bool* tooMany) {
  std::unique_lock<std::mutex> lock(frameLock);
  // Asking for the next frame ends the use of the last one.
  if (held) {
    freeFrames.push_back(held);
    held = nullptr;
  }
  // The held frame counts as a lease: the stream keeps one buffer.
  if (pool && poolLeases_ + 1 >= static_cast<std::int32_t>(pool->records.size())) {
    if (tooMany) *tooMany = true;
    return false;
  }
  FrameRecord* frame = nullptr;
  if (!WaitForReady(lock, &frame, timeoutMs, deviceOpen)) return false;
  held = frame;
  if (image) *image = frame;
  return true;
}

bool FrameHandOut::LeaseFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen,
                              const void* owner, bool* tooMany) {
  std::unique_lock<std::mutex> lock(frameLock);
  const std::int32_t lent = poolLeases_ + (held ? 1 : 0);
  if (pool && lent + 1 >= static_cast<std::int32_t>(pool->records.size())) {
    *tooMany = true;
    return false;
  }
  FrameRecord* frame = nullptr;
  if (!WaitForReady(lock, &frame, timeoutMs, deviceOpen)) return false;
  FactsOf(*frame).lent = true;
  ++poolLeases_;
  return_->leases.fetch_add(1, std::memory_order_relaxed);
  // Registered before the caller can see the address, so that a release
  // from another thread finds it.
  AddLease(frame, Lease{owner, pool, return_});
  *image = frame;
  return true;
}

int FrameHandOut::LentFrames() {
  std::lock_guard<std::mutex> lock(frameLock);
  return return_->leases.load(std::memory_order_relaxed) + (held ? 1 : 0);
}

void FrameHandOut::TakeBack(FrameRecord* record, const FramePool* from) {
  std::lock_guard<std::mutex> lock(frameLock);
  FactsOf(*record).lent = false;
  // A record of an earlier run stays out: its pool goes with its leases.
  if (!pool || pool.get() != from) return;
  --poolLeases_;
  freeFrames.push_back(record);
  frameCondition.notify_all();  // a lease may be taken again
}

void ReturnLease(LeaseReturn& back, FrameRecord* record, const FramePool* from) {
  std::lock_guard<std::mutex> lock(back.lock);
  back.leases.fetch_sub(1, std::memory_order_relaxed);
  if (back.handOut) back.handOut->TakeBack(record, from);
}

}  // namespace lumo::camera
