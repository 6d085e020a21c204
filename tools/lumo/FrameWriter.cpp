#include "FrameWriter.h"

#include <chrono>
#include <utility>

namespace lumo::tool {

std::uint64_t FrameWriter::GiveBack(std::deque<Job>& jobs) {
  std::uint64_t refused = 0;
  for (Job& job : jobs) refused += job.lease.Release() ? 0 : 1;
  return refused;
}

FrameWriter::FrameWriter(std::string pattern, ImageFormat format)
    : pattern_(std::move(pattern)), format_(format), thread_([this] { Run(); }) {}

FrameWriter::~FrameWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  thread_.join();
  // The jobs left give their frames back as they go.
}

void FrameWriter::Push(FrameLease lease, const FrameLayout& layout) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) {
      jobs_.push_back(Job{std::move(lease), layout});
      work_.notify_one();
      return;
    }
  }
  // Writing has failed: the frame goes back at once.
  const bool taken = lease.Release();
  std::lock_guard<std::mutex> lock(mutex_);
  ++released_;
  if (!taken) ++releaseFailures_;
  advance_.notify_all();
}

void FrameWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
    if (stop_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    writing_ = true;
    lock.unlock();

    std::string problem;
    const bool saved =
        WriteImage(NameForFrame(pattern_, job.layout.number), format_, job.layout, &problem);
    const bool taken = job.lease.Release();

    // Frames given back unsaved after a failure: released outside the lock.
    std::deque<Job> dropped;
    lock.lock();
    writing_ = false;
    ++released_;
    if (!taken) ++releaseFailures_;
    if (saved) {
      ++saved_;
    } else if (!failed_) {
      failed_ = true;
      problem_ = problem;
      dropped.swap(jobs_);
    }
    if (!dropped.empty()) {
      lock.unlock();
      const std::uint64_t refused = GiveBack(dropped);
      lock.lock();
      released_ += dropped.size();
      releaseFailures_ += refused;
    }
    advance_.notify_all();
  }
}

std::uint64_t FrameWriter::Released() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return released_;
}

bool FrameWriter::WaitForRelease(std::uint64_t released, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return advance_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return released_ > released || failed_; });
}

bool FrameWriter::WaitUntilIdle(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return advance_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return (jobs_.empty() && !writing_) || failed_; });
}

void FrameWriter::Drop() {
  std::deque<Job> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(jobs_);
  }
  const std::uint64_t refused = GiveBack(dropped);
  std::lock_guard<std::mutex> lock(mutex_);
  released_ += dropped.size();
  releaseFailures_ += refused;
  advance_.notify_all();
}

std::uint64_t FrameWriter::Saved() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return saved_;
}

std::uint64_t FrameWriter::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + (writing_ ? 1 : 0);
}

bool FrameWriter::Failed(std::string* problem) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_ && problem) *problem = problem_;
  return failed_;
}

std::uint64_t FrameWriter::ReleaseFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return releaseFailures_;
}

}  // namespace lumo::tool
