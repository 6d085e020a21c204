#include "DeviceGate.h"

#include "platform/ErrorCodes.h"

namespace lumo::emulator {

void DeviceGate::SetDelay(std::chrono::milliseconds delay) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delayMs_.store(delay.count() > 0 ? delay.count() : 0, std::memory_order_release);
  }
  wake_.notify_all();
}

void DeviceGate::RefuseFor(std::chrono::milliseconds duration, std::uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseUntil_ = duration.count() > 0 ? Clock::now() + duration : Clock::time_point{};
  refuseError_ = error;
}

void DeviceGate::RefuseNext(std::uint32_t count, std::uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseCount_ = count;
  refuseCountError_ = error;
}

DeviceGate::Passage DeviceGate::Pass() {
  if (delayMs_.load(std::memory_order_acquire) == 0) return Passage::kServe;
  std::unique_lock<std::mutex> lock(mutex_);
  return WaitLocked(lock);
}

std::uint32_t DeviceGate::PassOpen() {
  std::unique_lock<std::mutex> lock(mutex_);
  // An open cut short by the unplug fails as the open of a device that is
  // gone does.
  if (WaitLocked(lock) == Passage::kCut) return platform::kErrorFileNotFound;
  std::uint32_t error = 0;
  if (Clock::now() < refuseUntil_) {
    error = refuseError_;
  } else if (refuseCount_ > 0) {
    --refuseCount_;
    error = refuseCountError_;
  }
  if (error != 0) refusedOpens_.fetch_add(1, std::memory_order_relaxed);
  return error;
}

DeviceGate::Passage DeviceGate::WaitLocked(std::unique_lock<std::mutex>& lock) {
  if (unplugging_) return Passage::kCut;
  if (delayMs_.load(std::memory_order_relaxed) == 0) return Passage::kServe;
  delayed_.fetch_add(1, std::memory_order_relaxed);
  const Clock::time_point arrival = Clock::now();
  for (;;) {
    if (unplugging_) return Passage::kCut;
    const Clock::time_point due =
        arrival + std::chrono::milliseconds(delayMs_.load(std::memory_order_relaxed));
    if (Clock::now() >= due) return Passage::kServe;
    wake_.wait_until(lock, due);
  }
}

void DeviceGate::BeginUnplug() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugging_ = true;
  }
  wake_.notify_all();
}

void DeviceGate::EndUnplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  unplugging_ = false;
}

}  // namespace lumo::emulator
