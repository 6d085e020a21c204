// TimedMutex: a mutex whose lock can be waited for up to a deadline, for use
// with std::unique_lock. Built on a mutex and a condition variable rather
// than std::timed_mutex: the latter's steady-clock lock goes through
// pthread_mutex_clocklock, which the ThreadSanitizer of GCC 12 does not
// see, so every unlock after it would be reported as a fault.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumo::platform {

class TimedMutex {
 public:
  TimedMutex() = default;
  TimedMutex(const TimedMutex&) = delete;
  TimedMutex& operator=(const TimedMutex&) = delete;

  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    released_.wait(guard, [&] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <typename Clock, typename Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!released_.wait_until(guard, deadline, [&] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
    }
    released_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

}  // namespace lumo::platform
