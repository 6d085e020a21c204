// Publication of finished I/O requests to their issuers, and the
// overlapped-result query of the virtual kernel.
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

void Publish(const CompletionTarget& target, std::uint32_t error, std::uint32_t bytes) {
  if (target.sync) {
    std::lock_guard<std::mutex> lock(target.sync->mutex);
    target.sync->error = error;
    target.sync->bytes = bytes;
    target.sync->done = true;
    target.sync->condition.notify_all();
    return;
  }
  // The issuer may release the OVERLAPPED as soon as it sees the status, so
  // the event handle is taken first and the status stored last.
  const Handle event = target.event;
  target.overlapped->internalHigh.store(bytes, std::memory_order_relaxed);
  target.overlapped->internal.store(error == 0 ? 0 : (kStatusErrorTag | error),
                                    std::memory_order_release);
  if (event) SetEventObject(event);
}

}  // namespace lumo::platform::virt

namespace lumo::platform {

bool OverlappedResult(Handle device, Overlapped* overlapped, std::uint32_t* bytesTransferred,
                      bool wait) {
  if (!virt::HandleTable::Instance().Visit(device, virt::KernelObject::Kind::Device,
                                           [](virt::KernelObject&) {})) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (!overlapped) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::uintptr_t status = overlapped->internal.load(std::memory_order_acquire);
  while (status == kStatusPending) {
    if (!wait) {
      SetLastError(kErrorIoIncomplete);
      return false;
    }
    // The event may be auto-reset and taken by someone else: look at the
    // status again after a bounded wait.
    if (!overlapped->event || WaitForEvent(overlapped->event, 50) == kWaitFailed)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    status = overlapped->internal.load(std::memory_order_acquire);
  }
  if (bytesTransferred)
    *bytesTransferred =
        static_cast<std::uint32_t>(overlapped->internalHigh.load(std::memory_order_relaxed));
  if (status != 0) {
    SetLastError(static_cast<std::uint32_t>(status & ~virt::kStatusErrorTag));
    return false;
  }
  return true;
}

}  // namespace lumo::platform
