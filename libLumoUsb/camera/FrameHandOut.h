// FrameHandOut: the frame pool of an acquisition run and the queues its
// buffers pass through. The frame assembler takes buffers from freeFrames,
// fills them and queues them in readyFrames; TakeFrame hands the oldest
// ready one out and keeps it as the held frame, out of the assembler's
// reach. The held frame goes back to the end of freeFrames when the next
// TakeFrame begins (whatever it returns), or when the pool is released:
// one buffer of the pool is the caller's at any time, the others the
// stream's.
//
// Each run starts with a clean hand-out (nothing of an earlier run, not even
// its "frame queued" signal, reaches a caller). Stopping acquisition
// releases the pool, which invalidates every frame handed out during the
// run. A camera that is unplugged keeps its pool and its held frame: a
// caller may still be reading it when the cable is pulled, and the run
// resumes on the other buffers when the camera returns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/FrameRecord.h"

namespace lumo::camera {

// The largest frame pool one acquisition run may ask for (4 GiB).
constexpr std::int32_t kMaxBufferCount = 1024;

class FrameHandOut {
 public:
  FrameHandOut() = default;
  FrameHandOut(const FrameHandOut&) = delete;
  FrameHandOut& operator=(const FrameHandOut&) = delete;

  // Makes the pool of the next run. False when the count cannot make a
  // pool: 0 or less, more than kMaxBufferCount, or more memory than there
  // is.
  bool MakePool(std::int32_t count);
  bool HasPool() const { return !framePool.empty(); }
  // Releases the pool, the held frame with it, once no run uses it:
  // acquisition stopped, or its start request was refused.
  void ReleasePool();
  // Start of a run: every pool buffer but the held frame is free, nothing
  // is ready.
  void BeginRun();
  // End of a run: the queues are emptied; the pool stays until
  // ReleasePool.
  void EndRun();

  // The next free buffer, or null when there is none. Assembler only.
  FrameRecord* TakeFree();
  // Queues a filled buffer for hand-out and wakes a waiting TakeFrame.
  // With `limit` frames already waiting, the buffer goes back to the free
  // ones instead and the call reports false.
  bool Queue(FrameRecord* frame, std::size_t limit = SIZE_MAX);
  // Returns a buffer taken with TakeFree unfilled (its frame was dropped).
  void GiveBack(FrameRecord* frame);
  // Hands over a record filled outside the pool without copying it: the
  // record takes the place of a free pool buffer and is queued, and that
  // buffer is returned to be filled next. Without a free buffer nothing is
  // queued and `filled` comes back.
  std::unique_ptr<FrameRecord> Exchange(std::unique_ptr<FrameRecord> filled);

  // The camera was unplugged: TakeFrame fails at once until Attach, and
  // calls waiting in it return false now, whatever their time limit.
  void Detach();
  // The camera is back: TakeFrame waits for frames again.
  void Attach();

  // Gives the held frame back to the free buffers, then waits up to
  // `timeoutMs` for the oldest ready frame, which becomes the held frame.
  // With `deviceOpen` false (the camera's device is gone) only a frame
  // queued after the call began ends the first wait.
  bool TakeFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen);

  std::mutex frameLock;  // guards readyFrames, freeFrames, held, frameReady, detached
  std::condition_variable frameCondition;
  std::int32_t frameReady = 0;  // 1 after a frame was queued, 0 after a hand-out
  bool detached = false;
  std::deque<FrameRecord*> readyFrames;
  std::deque<FrameRecord*> freeFrames;
  // The frame handed out last, in neither queue; null when none is.
  FrameRecord* held = nullptr;
  // The pool of the running acquisition: made before the stream threads
  // start, released when acquisition stops. Records are owned one by one,
  // so that Exchange can swap one for a record filled elsewhere.
  std::vector<std::unique_ptr<FrameRecord>> framePool;
};

}  // namespace lumo::camera
