// The lock on which a camera's command callers take turns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/TimedMutex.h"

namespace lumo::platform {
namespace {

void WaitForWaiting(TimedMutex& lock, std::size_t count) {
  for (int i = 0; i < 2000 && lock.Waiting() != count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(lock.Waiting(), count);
}

TEST(TimedMutex, WaitersAreServedInArrivalOrderAndOneThatGivesUpIsSkipped) {
  TimedMutex lock;
  lock.lock();
  std::mutex orderLock;
  std::vector<int> order;
  auto record = [&](int who) {
    std::lock_guard<std::mutex> guard(orderLock);
    order.push_back(who);
  };
  std::atomic<bool> mayRelease{false};
  std::thread first([&] {
    lock.lock();
    record(1);
    while (!mayRelease.load()) std::this_thread::yield();
    lock.unlock();
  });
  WaitForWaiting(lock, 1);
  bool impatientGotIt = true;
  std::thread impatient([&] {
    impatientGotIt =
        lock.try_lock_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
  });
  WaitForWaiting(lock, 2);
  std::thread last([&] {
    ASSERT_TRUE(lock.try_lock_until(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    record(3);
    lock.unlock();
  });
  WaitForWaiting(lock, 3);
  impatient.join();
  EXPECT_FALSE(impatientGotIt);
  EXPECT_EQ(lock.Waiting(), 2u);

  // Releasing hands the lock to the oldest waiter: asking again at once
  // does not jump the queue.
  lock.unlock();
  EXPECT_FALSE(lock.try_lock());
  mayRelease = true;
  first.join();
  last.join();
  EXPECT_EQ(order, (std::vector<int>{1, 3}));
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

}  // namespace
}  // namespace lumo::platform
