// The faults a device shows before it serves anything: a device that is
// slow to answer (every synchronous request and every open waits on the
// requesting thread) and one that refuses opens while it stays present.
//
// A wait ends when its delay has passed, early when the delay is lowered,
// and at once when the device is being unplugged: the bus's unplug waits
// for every thread inside the driver, so the device cuts the waits first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumo::emulator {

class DeviceGate {
 public:
  enum class Passage {
    kServe,  // serve the request (or let the open go on)
    kCut,    // the device is being unplugged: serve nothing
  };

  // ---- the device's fault settings, from any thread

  // Zero ends the delay. Waiting requests measure the new delay from their
  // arrival, so a shorter one (or zero) lets them go at once.
  void SetDelay(std::chrono::milliseconds delay);
  // Refuses opens with `error` until `duration` from now; zero ends it.
  void RefuseFor(std::chrono::milliseconds duration, std::uint32_t error);
  // Refuses the next `count` opens with `error`; zero ends it.
  void RefuseNext(std::uint32_t count, std::uint32_t error);

  std::uint64_t Delayed() const { return delayed_.load(std::memory_order_relaxed); }
  std::uint64_t Refused() const { return refusedOpens_.load(std::memory_order_relaxed); }

  // ---- the driver's side, on the requesting thread

  // Waits the delay, if one is set.
  Passage Pass();
  // Waits the delay, then decides the open: 0 lets it succeed, else the
  // error it fails with.
  std::uint32_t PassOpen();

  // ---- the device's unplug

  // Ends every wait and lets no new one begin, until EndUnplug.
  void BeginUnplug();
  void EndUnplug();

 private:
  using Clock = std::chrono::steady_clock;

  Passage WaitLocked(std::unique_lock<std::mutex>& lock);

  // Read without the mutex only to skip it when no delay is set; written
  // under it, so that a waiter cannot miss a change.
  std::atomic<std::int64_t> delayMs_{0};
  std::atomic<std::uint64_t> delayed_{0};
  std::atomic<std::uint64_t> refusedOpens_{0};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool unplugging_ = false;
  Clock::time_point refuseUntil_{};
  std::uint32_t refuseError_ = 0;
  std::uint32_t refuseCount_ = 0;
  std::uint32_t refuseCountError_ = 0;
};

}  // namespace lumo::emulator
