// A frame the library lent (CameraTakeFrame), owned by one FrameLease at a
// time and given back (CameraReleaseFrame) when its lease ends: when it is
// released, or destroyed without having been. Moving hands the lease on.
#pragma once

#include <utility>

#include "lumo/LumoUsbManager.h"

namespace lumo::tool {

class FrameLease {
 public:
  FrameLease() = default;
  FrameLease(LumoUsbManager& manager, void* camera, const LumoFrame& frame)
      : manager_(&manager), camera_(camera), frame_(frame) {}
  FrameLease(FrameLease&& other) noexcept { *this = std::move(other); }
  FrameLease& operator=(FrameLease&& other) noexcept {
    if (this != &other) {
      Release();
      manager_ = std::exchange(other.manager_, nullptr);
      camera_ = other.camera_;
      frame_ = other.frame_;
    }
    return *this;
  }
  FrameLease(const FrameLease&) = delete;
  FrameLease& operator=(const FrameLease&) = delete;
  ~FrameLease() { Release(); }

  explicit operator bool() const { return manager_ != nullptr; }
  const LumoFrame& Frame() const { return frame_; }

  // Gives the frame back; true when the library took it. An empty lease
  // has nothing to give back and returns true.
  bool Release() {
    if (!manager_) return true;
    LumoUsbManager* const manager = std::exchange(manager_, nullptr);
    return manager->CameraReleaseFrame(camera_, frame_.record);
  }

 private:
  LumoUsbManager* manager_ = nullptr;  // null: nothing lent
  void* camera_ = nullptr;
  LumoFrame frame_{};
};

}  // namespace lumo::tool
