#include "manager/HotplugQueue.h"

#include <thread>

#include "platform/Platform.h"

namespace lumo::manager {

namespace {

// Work queued or running in every manager of the process.
struct ProcessWork {
  std::mutex lock;
  std::condition_variable done;
  std::uint64_t busy = 0;
};

ProcessWork& Process() {
  static ProcessWork* const work = new ProcessWork;  // never destroyed: workers may outlive statics
  return *work;
}

void AddProcessWork() {
  std::lock_guard<std::mutex> lock(Process().lock);
  ++Process().busy;
}

void EndProcessWork() {
  std::lock_guard<std::mutex> lock(Process().lock);
  if (--Process().busy == 0) Process().done.notify_all();
}

}  // namespace

HotplugQueue::~HotplugQueue() {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return workersRunning_ == 0; });
}

void HotplugQueue::Post(const std::string& camera, Work work) {
  AddProcessWork();
  std::lock_guard<std::mutex> lock(lock_);
  ++busy_;
  auto found = queues_.find(camera);
  if (found != queues_.end()) {
    found->second.work.push_back(std::move(work));  // its worker takes it
    changed_.notify_all();
    return;
  }
  queues_[camera].work.push_back(std::move(work));
  ++workersRunning_;
  std::thread(&HotplugQueue::Run, this, camera).detach();
}

bool HotplugQueue::WaitForNewerWork(const std::string& camera, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [&] {
    auto found = queues_.find(camera);
    return found != queues_.end() && !found->second.work.empty();
  });
}

bool HotplugQueue::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [this] { return busy_ == 0 && workersRunning_ == 0; });
}

void HotplugQueue::Run(std::string camera) {
  platform::NameCurrentThread("lumo-hotplug");
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    auto queue = queues_.find(camera);
    if (queue->second.work.empty()) {
      queues_.erase(queue);  // the next Post for this camera starts a worker
      break;
    }
    Work work = std::move(queue->second.work.front());
    queue->second.work.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // whatever the work held goes before it counts as done
    lock.lock();
    --busy_;
    EndProcessWork();
    changed_.notify_all();
  }
  --workersRunning_;
  changed_.notify_all();
}

bool WaitForHotplugWork(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(Process().lock);
  return Process().done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [] { return Process().busy == 0; });
}

}  // namespace lumo::manager
