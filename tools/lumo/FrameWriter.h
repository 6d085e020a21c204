// Saves lent frames on a thread of its own, so that taking frames never
// waits for a file to be compressed and written: the grab hands each
// frame's lease over, the writer saves the frame in the order it came and
// gives it back.
//
// The library bounds how far the writer may fall behind: it lends at most
// its buffer count less one frames. When the grab finds them all lent it
// waits for the writer to give one back (WaitForRelease).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "FrameLayout.h"
#include "FrameLease.h"
#include "ImageFile.h"

namespace lumo::tool {

class FrameWriter {
 public:
  // Saves frames to `pattern` ('#' becomes the frame number) as `format`.
  FrameWriter(std::string pattern, ImageFormat format);
  // Stops after the frame being written; the frames still queued are given
  // back unsaved.
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Queues a lent frame, whose pixels `layout` describes, for saving.
  void Push(FrameLease lease, const FrameLayout& layout);

  // Frames given back so far, saved or not.
  std::uint64_t Released() const;
  // Waits up to `timeoutMs` until more than `released` frames were given
  // back or writing failed; true when either happened.
  bool WaitForRelease(std::uint64_t released, int timeoutMs);
  // Waits up to `timeoutMs` until every queued frame is saved or writing
  // failed; true when either happened.
  bool WaitUntilIdle(int timeoutMs);
  // Gives back the queued frames unsaved; the one being written is
  // finished.
  void Drop();

  std::uint64_t Saved() const;
  // Frames queued or being written.
  std::uint64_t Pending() const;
  // True, with the reason, once a frame could not be saved. Writing stops
  // then, and every frame queued is given back.
  bool Failed(std::string* problem) const;
  // Frames the library refused to take back (a fault of the library).
  std::uint64_t ReleaseFailures() const;

 private:
  struct Job {
    FrameLease lease;
    FrameLayout layout;
  };

  void Run();
  // Gives the jobs' frames back (called without the lock); returns how
  // many the library refused.
  static std::uint64_t GiveBack(std::deque<Job>& jobs);

  const std::string pattern_;
  const ImageFormat format_;
  mutable std::mutex mutex_;
  std::condition_variable work_;     // a job came, or the writer is to stop
  std::condition_variable advance_;  // a frame was given back or writing failed
  std::deque<Job> jobs_;
  bool writing_ = false;  // a job taken from jobs_ is being written
  bool stop_ = false;
  bool failed_ = false;
  std::string problem_;
  std::uint64_t saved_ = 0;
  std::uint64_t released_ = 0;
  std::uint64_t releaseFailures_ = 0;
  std::thread thread_;  // last: started once the rest is made
};

}  // namespace lumo::tool
