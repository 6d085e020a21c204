#include "manager/DeviceChangeDispatcher.h"

#include "platform/Platform.h"

namespace lumo::manager {

DeviceChangeDispatcher::~DeviceChangeDispatcher() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void DeviceChangeDispatcher::SetCallback(LumoDeviceChangeCallback callback, void* context) {
  std::unique_lock<std::mutex> guard(lock_);
  callback_ = callback;
  context_ = callback ? context : nullptr;
  const std::uint64_t replaced = installation_++;
  if (!callback) queue_.clear();
  if (callback && !thread_.joinable()) {
    thread_ = std::thread(&DeviceChangeDispatcher::Run, this);
    threadId_ = thread_.get_id();
  }
  // The callback replacing itself cannot wait for its own return.
  if (std::this_thread::get_id() == threadId_) return;
  changed_.wait(guard, [&] { return !calling_ || callingInstallation_ > replaced; });
}

void DeviceChangeDispatcher::Post(int event, const std::string& path, void* handle) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!callback_ || stop_) return;
  queue_.push_back(Change{event, path, handle});
  changed_.notify_all();
}

void DeviceChangeDispatcher::Run() {
  platform::NameCurrentThread("lumo-changes");
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, [&] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    const Change change = std::move(queue_.front());
    queue_.pop_front();
    if (!callback_) continue;
    const LumoDeviceChangeCallback callback = callback_;
    void* const context = context_;
    calling_ = true;
    callingInstallation_ = installation_;
    guard.unlock();
    callback(context, change.event, change.path.c_str(), change.handle);
    guard.lock();
    calling_ = false;
    changed_.notify_all();
  }
}

}  // namespace lumo::manager
