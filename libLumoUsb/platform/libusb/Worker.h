// A thread that runs jobs one after another, in the order they were posted.
// The libusb driver runs there what may block: opening and identifying
// devices, plugging and unplugging them, and the synchronous libusb calls
// that a request needs (selecting a configuration or an alternate setting).
// Such calls must not run on libusb's event thread, which has to go on
// handling events while they wait, nor on the thread that submits a request,
// which must not block.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace lumo::platform::libusb {

class Worker {
 public:
  explicit Worker(const char* threadName);
  // Runs the jobs already posted, then stops the thread.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Post(std::function<void()> job);
  // Posts `job` and waits until it has run. Must not be called on the
  // worker's own thread.
  void Run(std::function<void()> job);

 private:
  void Loop(const char* threadName);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace lumo::platform::libusb
