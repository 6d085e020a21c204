// A shared/exclusive lock that lets a waiting writer in first: once a
// thread waits for the exclusive lock, new shared lockers wait behind it, so
// the writer gets in as soon as the current holders are done, however many
// threads keep taking the lock shared. Built on a mutex and a condition
// variable, the same on every platform.
#pragma once

#include <condition_variable>
#include <mutex>

namespace lumo::platform {

class WriterFirstLock {
 public:
  WriterFirstLock() = default;
  WriterFirstLock(const WriterFirstLock&) = delete;
  WriterFirstLock& operator=(const WriterFirstLock&) = delete;

  void LockShared() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !writing_ && writersWaiting_ == 0; });
    ++readers_;
  }
  void UnlockShared() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--readers_ == 0 && writersWaiting_ != 0) changed_.notify_all();
  }
  void LockExclusive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++writersWaiting_;
    changed_.wait(lock, [this] { return !writing_ && readers_ == 0; });
    --writersWaiting_;
    writing_ = true;
  }
  void UnlockExclusive() {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int readers_ = 0;
  int writersWaiting_ = 0;
  bool writing_ = false;
};

}  // namespace lumo::platform
