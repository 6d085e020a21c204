// TimedMutex: a mutex whose lock can be waited for up to a deadline, for use
// with std::unique_lock, and which is handed to its waiters in the order
// they came. A caller that releases it and asks again at once queues
// behind those already waiting, so that under contention no waiter runs
// out of time while others take turn after turn.
//
// Built on a mutex and a condition variable rather than std::timed_mutex,
// which is neither ordered nor visible to the ThreadSanitizer of GCC 12
// (its steady-clock lock goes through pthread_mutex_clocklock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>

namespace lumo::platform {

class TimedMutex {
 public:
  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    if (TakeFree()) return;
    auto self = waiters_.emplace(waiters_.end());
    handedOver_.wait(guard, [&] { return self->granted; });
    waiters_.erase(self);
  }
  bool try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    return TakeFree();
  }
  template <typename Clock, typename Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (TakeFree()) return true;
    auto self = waiters_.emplace(waiters_.end());
    const bool granted = handedOver_.wait_until(guard, deadline, [&] { return self->granted; });
    waiters_.erase(self);
    return granted;
  }
  // Callers waiting for the lock now.
  std::size_t Waiting() {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiters_.size();
  }

  // Hands the lock straight to the longest waiter, if there is one.
  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (waiters_.empty())
        held_ = false;
      else
        waiters_.front().granted = true;
    }
    handedOver_.notify_all();
  }

 private:
  struct Waiter {
    bool granted = false;
  };

  bool TakeFree() {
    if (held_ || !waiters_.empty()) return false;
    held_ = true;
    return true;
  }

  std::mutex mutex_;
  std::condition_variable handedOver_;
  std::list<Waiter> waiters_;  // oldest first
  bool held_ = false;
};

}  // namespace lumo::platform
