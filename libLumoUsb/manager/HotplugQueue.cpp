#include "manager/HotplugQueue.h"

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
  changed_.wait(lock, [this] { return workers_.size() == ended_.size(); });
  std::vector<std::thread> ended = TakeEnded();
  lock.unlock();
  for (std::thread& worker : ended) worker.join();
}

void HotplugQueue::Post(const std::string& camera, Work work) {
  AddProcessWork();
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> lock(lock_);
    ended = TakeEnded();
    ++busy_;
    auto found = queues_.find(camera);
    if (found != queues_.end()) {
      found->second.work.push_back(std::move(work));  // its worker takes it
      changed_.notify_all();
    } else {
      queues_[camera].work.push_back(std::move(work));
      const std::uint64_t worker = nextWorker_++;
      workers_.emplace(worker, std::thread(&HotplugQueue::Run, this, camera, worker));
    }
  }
  for (std::thread& thread : ended) thread.join();
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
  if (!changed_.wait_for(lock, timeout,
                         [this] { return busy_ == 0 && workers_.size() == ended_.size(); }))
    return false;
  std::vector<std::thread> ended = TakeEnded();
  lock.unlock();
  for (std::thread& worker : ended) worker.join();
  return true;
}

std::uint64_t HotplugQueue::WorkersStarted() const {
  std::lock_guard<std::mutex> lock(lock_);
  return nextWorker_;
}

void HotplugQueue::Run(std::string camera, std::uint64_t worker) {
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
  ended_.push_back(worker);
  changed_.notify_all();
}

std::vector<std::thread> HotplugQueue::TakeEnded() {
  std::vector<std::thread> ended;
  for (std::uint64_t worker : ended_) {
    auto found = workers_.find(worker);
    ended.push_back(std::move(found->second));
    workers_.erase(found);
  }
  ended_.clear();
  return ended;
}

bool WaitForHotplugWork(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(Process().lock);
  return Process().done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [] { return Process().busy == 0; });
}

}  // namespace lumo::manager
