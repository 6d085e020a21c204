// DeviceChangeDispatcher: hands the cameras' arrivals and removals to the
// application's callback (lumo/DeviceChange.h) on a thread of its own. The
// pump thread posts each change once it has released the registry, and
// never waits for the application: a callback may call back into the
// manager, and however long it takes, notices go on being handled.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "lumo/DeviceChange.h"

namespace lumo::manager {

class DeviceChangeDispatcher {
 public:
  DeviceChangeDispatcher() = default;
  // Ends the delivery thread; changes not yet delivered are dropped.
  ~DeviceChangeDispatcher();
  DeviceChangeDispatcher(const DeviceChangeDispatcher&) = delete;
  DeviceChangeDispatcher& operator=(const DeviceChangeDispatcher&) = delete;

  // Installs `callback` with `context` (null removes it; changes not yet
  // delivered are then dropped). The delivery thread starts with the first
  // callback. Once this returns the previous callback is not running and is
  // not called again, unless the callback itself made this call.
  void SetCallback(LumoDeviceChangeCallback callback, void* context);

  // Queues a change for the callback; nothing when none is installed.
  void Post(int event, const std::string& path, void* handle);

 private:
  struct Change {
    int event;
    std::string path;
    void* handle;
  };

  void Run();

  std::mutex lock_;
  std::condition_variable changed_;  // a change queued, a call ended, or stop
  std::deque<Change> queue_;
  LumoDeviceChangeCallback callback_ = nullptr;
  void* context_ = nullptr;
  std::uint64_t installation_ = 0;  // counts SetCallback calls
  bool calling_ = false;            // a callback runs, of installation calling_
  std::uint64_t callingInstallation_ = 0;
  bool stop_ = false;
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace lumo::manager
