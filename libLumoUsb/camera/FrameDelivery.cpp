#include "camera/FrameDelivery.h"

#include <chrono>

#include "Log.h"
#include "camera/CameraState.h"
#include "camera/FrameLeases.h"
#include "camera/FrameView.h"
#include "platform/Platform.h"

namespace lumo::camera {

namespace {

// The delivery thread looks at its run flag at least this often.
constexpr unsigned int kWaitSliceMs = 50;

}  // namespace

FrameDelivery::~FrameDelivery() {
  Stop();
  while (threads_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

void FrameDelivery::Set(LumoFrameCallback callback, void* context, const void* owner) {
  std::lock_guard<std::mutex> guard(lock_);
  Stop();
  if (!callback) return;
  active_.store(true, std::memory_order_release);
  threads_.fetch_add(1, std::memory_order_acq_rel);
  thread_ = std::thread(&FrameDelivery::Run, this, callback, context, owner,
                        generation_.load(std::memory_order_acquire));
}

void FrameDelivery::Stop() {
  active_.store(false, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  state_.frames.WakeWaiters();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Called from the callback: the thread ends once the callback returns.
    thread_.detach();
    return;
  }
  thread_.join();
}

void FrameDelivery::Run(LumoFrameCallback callback, void* context, const void* owner,
                        std::uint64_t generation) {
  platform::NameCurrentThread("lumo-delivery");
  {
    LogCameraScope camera(owner);
    Deliver(callback, context, owner, generation);
  }
  threads_.fetch_sub(1, std::memory_order_acq_rel);  // the last use of this object
}

void FrameDelivery::Deliver(LumoFrameCallback callback, void* context, const void* owner,
                            std::uint64_t generation) {
  while (generation_.load(std::memory_order_acquire) == generation) {
    FrameRecord* record = nullptr;
    bool tooMany = false;
    if (!state_.frames.LeaseFrame(&record, kWaitSliceMs, state_.lifecycle.Attached(), owner,
                                  &tooMany)) {
      // Every lendable frame is kept by the callback: wait for one back.
      if (tooMany) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    LumoFrame frame;
    DescribeFrame(*record, &frame);
    // Replaced or removed from within the callback, this thread ends after
    // it; the frame it had is given back or kept as the callback said.
    const bool keep = callback(context, const_cast<void*>(owner), &frame) != 0;
    bool otherOwner = false;
    if (!keep) EndLease(owner, record, &otherOwner);
  }
}

}  // namespace lumo::camera
