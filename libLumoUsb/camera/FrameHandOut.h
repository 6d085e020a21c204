// FrameHandOut: the frame pool of an acquisition run and the queues its
// buffers pass through. The frame assembler takes buffers from freeFrames,
// fills them and queues them in readyFrames. Two ways hand them out:
//
// - TakeFrame hands the oldest ready one out and keeps it as the held
//   frame, out of the assembler's reach. The held frame goes back to the
//   end of freeFrames when the next TakeFrame begins (whatever it returns),
//   or when the pool is released.
// - LeaseFrame lends the oldest ready one to the caller until the caller
//   gives it back (FrameLeases.h), from any thread, at any time: also after
//   acquisition stopped or the camera was closed or dropped. A leased
//   record's bytes never change; the pool lives, through the leases, until
//   its last leased record is back.
//
// The held frame counts as a lease. At most the pool's size less one
// buffer is lent at once: the stream always keeps one.
//
// Each run starts with a clean hand-out (nothing of an earlier run, not even
// its "frame queued" signal, reaches a caller). Stopping acquisition
// releases the pool, which invalidates the held frame; leased frames stay.
// A camera that is unplugged keeps its pool, its held frame and its leases:
// a caller may still be reading a frame when the cable is pulled, and the
// run resumes on the other buffers when the camera returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/FrameBuffer.h"
#include "camera/FrameRecord.h"

namespace lumo::camera {

// The largest frame pool one acquisition run may ask for.
constexpr std::int32_t kMaxBufferCount = 1024;

// The records of one run. Shared by the camera's hand-out, while the run
// lasts, and by the leases on its records.
struct FramePool {
  std::vector<RecordPtr> records;
};

class FrameHandOut;

// How a lease finds its way back to the hand-out that lent its record, for
// as long as that hand-out lives, and how many leases its camera has out.
struct LeaseReturn {
  std::mutex lock;
  FrameHandOut* handOut = nullptr;  // null once the hand-out is gone
  std::atomic<std::int32_t> leases{0};
};

class FrameHandOut {
 public:
  FrameHandOut();
  // Leases still out are given back to nobody: their pools go with them.
  ~FrameHandOut();
  FrameHandOut(const FrameHandOut&) = delete;
  FrameHandOut& operator=(const FrameHandOut&) = delete;

  // Makes the pool of the next run, each record of `recordBytes`. False
  // when the count cannot make a pool: 0 or less, more than
  // kMaxBufferCount, or more memory than there is.
  bool MakePool(std::int32_t count, std::size_t recordBytes = kFrameRecordSize);
  bool HasPool() const { return pool && !pool->records.empty(); }
  std::size_t PoolSize() const { return pool ? pool->records.size() : 0; }
  // Releases the pool, the held frame with it, once no run uses it:
  // acquisition stopped, or its start request was refused. Leased records
  // keep the pool alive until they are back.
  void ReleasePool();
  // Start of a run: every pool buffer but the held and the leased frames is
  // free, nothing is ready.
  void BeginRun();
  // End of a run: the queues are emptied; the pool stays until
  // ReleasePool.
  void EndRun();

  // The next free buffer, or null when there is none. Assembler only.
  FrameRecord* TakeFree();
  // Replaces `record`, taken with TakeFree, by a record of `recordBytes` in
  // the pool, for a frame its records are too small for; null (and the
  // record given back) when there is no memory. Assembler only.
  FrameRecord* Grow(FrameRecord* record, std::size_t recordBytes);
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
  RecordPtr Exchange(RecordPtr filled);

  // Sequence numbers of a run, counted by the assembler: each frame that
  // begins takes the next, from 0 at the first run after MakePool (a run
  // resumed after an unplug goes on counting).
  std::uint64_t NextSequence() { return sequenceNext_++; }

  // The camera was unplugged: TakeFrame fails at once until Attach, and
  // calls waiting in it return false now, whatever their time limit.
  void Detach();
  // The camera is back: TakeFrame waits for frames again.
  void Attach();

  // Gives the held frame back to the free buffers, then waits up to
  // `timeoutMs` for the oldest ready frame, which becomes the held frame.
  // With `deviceOpen` false (the camera's device is gone) only a frame
  // queued after the call began ends the first wait. Fails at once with
  // *tooMany set when the leases leave no buffer for the held frame.
  bool TakeFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen,
                 bool* tooMany = nullptr);
  // Waits as TakeFrame does, without touching the held frame, and lends
  // the oldest ready frame to `owner` (the camera's handle). Fails at once
  // with *tooMany set when the pool's size less one are lent already.
  bool LeaseFrame(FrameRecord** image, unsigned int timeoutMs, bool deviceOpen, const void* owner,
                  bool* tooMany);
  // Frames of this camera lent now (of any run), the held frame included.
  int LentFrames();
  // Wakes calls that wait for a frame, so that they look again (a frame
  // callback was set, for instance).
  void WakeWaiters();

  std::mutex frameLock;  // guards readyFrames, freeFrames, held, frameReady, detached
  std::condition_variable frameCondition;
  std::int32_t frameReady = 0;  // 1 after a frame was queued, 0 after a hand-out
  bool detached = false;
  std::deque<FrameRecord*> readyFrames;
  std::deque<FrameRecord*> freeFrames;
  // The frame handed out last by TakeFrame, in neither queue; null when
  // none is.
  FrameRecord* held = nullptr;
  // The pool of the running acquisition: made before the stream threads
  // start, released when acquisition stops. Records are owned one by one,
  // so that Exchange can swap one for a record filled elsewhere.
  std::shared_ptr<FramePool> pool;

 private:
  friend void ReturnLease(LeaseReturn& back, FrameRecord* record, const FramePool* from);
  // Waits for a ready frame and takes it out of readyFrames; the caller
  // holds `lock`.
  bool WaitForReady(std::unique_lock<std::mutex>& lock, FrameRecord** frame, unsigned int timeoutMs,
                    bool deviceOpen);
  // A lease of a record of `from` came back.
  void TakeBack(FrameRecord* record, const FramePool* from);

  const std::shared_ptr<LeaseReturn> return_;
  // Records of the current pool lent out, under frameLock.
  std::int32_t poolLeases_ = 0;
  std::atomic<std::uint64_t> sequenceNext_{0};
  std::uint64_t handedNext_ = 0;  // the sequence after the last one handed out
};

// Gives a leased record back to the hand-out behind `back`, if it still
// lives; called by the lease table once the lease has ended.
void ReturnLease(LeaseReturn& back, FrameRecord* record, const FramePool* from);

}  // namespace lumo::camera
