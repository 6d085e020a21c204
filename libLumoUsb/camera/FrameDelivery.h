// FrameDelivery: a camera's frame callback (lumo/Frame.h). While one is
// set, a delivery thread of the camera's own leases each completed frame,
// in order, and calls the callback with it outside every lock; a callback
// that returns 0 gives the frame back on return, any other value keeps it
// lent. The camera's pull calls are refused meanwhile.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "lumo/Frame.h"

namespace lumo::camera {

struct CameraState;

class FrameDelivery {
 public:
  explicit FrameDelivery(CameraState& state) : state_(state) {}
  // Stops the delivery thread.
  ~FrameDelivery();
  FrameDelivery(const FrameDelivery&) = delete;
  FrameDelivery& operator=(const FrameDelivery&) = delete;

  // Installs `callback` with `context` for the camera whose handle is
  // `owner`; null stops deliveries. When this returns, the previous
  // callback runs no more, unless this is called from within it.
  void Set(LumoFrameCallback callback, void* context, const void* owner);
  // A callback is set: the pull calls are refused.
  bool Active() const { return active_.load(std::memory_order_acquire); }

 private:
  void Run(LumoFrameCallback callback, void* context, const void* owner, std::uint64_t generation);
  void Deliver(LumoFrameCallback callback, void* context, const void* owner,
               std::uint64_t generation);
  // Ends the delivery thread, joining it unless it is the calling one.
  void Stop();

  CameraState& state_;
  std::mutex lock_;  // serialises Set
  std::atomic<bool> active_{false};
  // Each delivery thread runs while this is the value it started with.
  std::atomic<std::uint64_t> generation_{0};
  // Delivery threads not ended yet, a detached one included: the
  // destructor waits for them, since they use this object to the end.
  std::atomic<int> threads_{0};
  std::thread thread_;
};

}  // namespace lumo::camera
