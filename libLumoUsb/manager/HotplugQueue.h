// HotplugQueue: the hot-plug work of each camera, in the order its notices
// came, on a worker thread of that camera's own. The pump thread posts the
// work of a notice and goes back to its messages at once, so that a camera
// that is slow to come back (a device open that takes seconds) holds up
// neither the notices of other cameras nor any call on them. The work of
// one camera never overlaps: a removal that arrives while the camera's
// re-attach still runs is handled after it.
//
// A worker starts when work is posted for a camera that has none running
// and ends when its camera's queue is empty. Workers are detached: a
// manager's registry lives until the process ends, so nothing could join
// the last of them, and a worker touches nothing of the queue once it has
// said it ended (WaitIdle waits for that).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "lumo/Export.h"

namespace lumo::manager {

class HotplugQueue {
 public:
  using Work = std::function<void()>;

  HotplugQueue() = default;
  // Waits until every worker has ended.
  ~HotplugQueue();
  HotplugQueue(const HotplugQueue&) = delete;
  HotplugQueue& operator=(const HotplugQueue&) = delete;

  // Queues `work` behind the work already queued for `camera` (a device
  // path) and starts that camera's worker if none runs.
  void Post(const std::string& camera, Work work);
  // Waits up to `timeout` for further work to be queued for `camera`; true
  // when some is waiting. Work that retries calls this between tries, so a
  // newer notice of its camera takes over from it.
  bool WaitForNewerWork(const std::string& camera, std::chrono::milliseconds timeout);
  // Waits until no work is queued or running and every worker has ended.
  // False after `timeout`.
  bool WaitIdle(std::chrono::milliseconds timeout);

 private:
  struct Queue {
    std::deque<Work> work;
  };
  void Run(std::string camera);

  std::mutex lock_;
  std::condition_variable changed_;      // work queued, work done, a worker ended
  std::map<std::string, Queue> queues_;  // cameras with work queued or running
  std::size_t workersRunning_ = 0;
  std::size_t busy_ = 0;  // pieces of work queued or running
};

// Waits until the hot-plug work of every manager in the process is done:
// each notice delivered so far has been handled to its end. False after
// `timeoutMs`. For tests and the emulator, which wait for the effect of an
// unplug or a plug: exported only where the emulator is built, over the
// virtual backend.
#if defined(LUMO_VIRTUAL_BACKEND)
#define LUMO_HOTPLUG_WAIT_API LUMO_API
#else
#define LUMO_HOTPLUG_WAIT_API
#endif
LUMO_HOTPLUG_WAIT_API bool WaitForHotplugWork(std::uint32_t timeoutMs);

}  // namespace lumo::manager
