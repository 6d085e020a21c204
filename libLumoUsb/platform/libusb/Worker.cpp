#include "platform/libusb/Worker.h"

#include <utility>

#include "platform/Platform.h"

namespace lumo::platform::libusb {

Worker::Worker(const char* threadName) : thread_([this, threadName] { Loop(threadName); }) {}

Worker::~Worker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Worker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void Worker::Run(std::function<void()> job) {
  std::mutex doneMutex;
  std::condition_variable doneWake;
  bool done = false;
  Post([&] {
    job();
    std::lock_guard<std::mutex> lock(doneMutex);
    done = true;
    doneWake.notify_all();
  });
  std::unique_lock<std::mutex> lock(doneMutex);
  doneWake.wait(lock, [&] { return done; });
}

void Worker::Loop(const char* threadName) {
  NameCurrentThread(threadName);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and every job has run
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace lumo::platform::libusb
