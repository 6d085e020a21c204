// Events of the virtual backend: auto- and manual-reset, with timed waits.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform {

namespace {

class EventObject : public virt::KernelObject {
 public:
  EventObject(bool manualReset, bool set)
      : KernelObject(Kind::Event), manualReset_(manualReset), set_(set) {}

  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    if (manualReset_)
      condition_.notify_all();
    else
      condition_.notify_one();
  }

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }

  std::uint32_t Wait(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto signalled = [this] { return set_; };
    if (timeoutMs == kInfinite) {
      condition_.wait(lock, signalled);
    } else if (!condition_.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled)) {
      return kWaitTimeout;
    }
    if (!manualReset_) set_ = false;
    return kWaitObject0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  const bool manualReset_;
  bool set_;
};

virt::Ref<EventObject> FindEvent(Handle event) {
  auto object = virt::FindObject<EventObject>(event, virt::KernelObject::Kind::Event);
  if (!object) SetLastError(kErrorInvalidHandle);
  return object;
}

// Setting and resetting never wait, so they run on the pinned handle without
// taking a reference.
template <typename Action>
bool OnEvent(Handle event, Action action) {
  const bool found = virt::HandleTable::Instance().Visit(
      event, virt::KernelObject::Kind::Event,
      [&](virt::KernelObject& object) { action(static_cast<EventObject&>(object)); });
  if (!found) SetLastError(kErrorInvalidHandle);
  return found;
}

}  // namespace

Handle CreateEventObject(bool manualReset, bool initiallySet) {
  return static_cast<Handle>(
      virt::HandleTable::Instance().Insert(virt::MakeRef<EventObject>(manualReset, initiallySet)));
}

bool SetEventObject(Handle event) {
  return OnEvent(event, [](EventObject& object) { object.Set(); });
}

bool ResetEventObject(Handle event) {
  return OnEvent(event, [](EventObject& object) { object.Reset(); });
}

std::uint32_t WaitForEvent(Handle event, std::uint32_t timeoutMs) {
  auto object = FindEvent(event);
  if (!object) return kWaitFailed;
  return object->Wait(timeoutMs);
}

}  // namespace lumo::platform
