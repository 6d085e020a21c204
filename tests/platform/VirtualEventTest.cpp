// Events of the virtual backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace lumo::platform {
namespace {

TEST(VirtualEvent, AutoResetEventReleasesOneWait) {
  Handle event = CreateEventObject(false, false);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  EXPECT_TRUE(SetEventObject(event));
  EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(VirtualEvent, ManualResetEventStaysSetUntilReset) {
  Handle event = CreateEventObject(true, true);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
  EXPECT_TRUE(ResetEventObject(event));
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  CloseHandle(event);
}

TEST(VirtualEvent, TimedWaitEndsAndInfiniteWaitIsWokenFromAnotherThread) {
  Handle event = CreateEventObject(false, false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForEvent(event, 30), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEventObject(event);
  });
  EXPECT_EQ(WaitForEvent(event, kInfinite), kWaitObject0);
  setter.join();
  CloseHandle(event);
}

TEST(VirtualEvent, ClosedHandleIsNeverReusedForANewEvent) {
  Handle old = CreateEventObject(true, false);
  ASSERT_TRUE(CloseHandle(old));
  Handle fresh = CreateEventObject(true, false);
  EXPECT_NE(fresh, old);
  EXPECT_FALSE(SetEventObject(old));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
  EXPECT_EQ(WaitForEvent(old, 0), kWaitFailed);
  EXPECT_EQ(WaitForEvent(fresh, 0), kWaitTimeout);
  CloseHandle(fresh);
}

TEST(VirtualEvent, ThousandsOfHandlesStayDistinctAndClosedOnesStayDead) {
  constexpr int kEvents = 2500;
  std::vector<Handle> first(kEvents);
  for (auto& event : first) {
    event = CreateEventObject(false, false);
    ASSERT_NE(event, nullptr);
  }
  std::set<Handle> seen(first.begin(), first.end());
  EXPECT_EQ(seen.size(), first.size());
  for (int i = 0; i < kEvents; i += 2) ASSERT_TRUE(CloseHandle(first[i]));
  // New events take the freed places under new handles.
  std::vector<Handle> second(kEvents / 2);
  for (auto& event : second) {
    event = CreateEventObject(false, true);
    EXPECT_TRUE(seen.insert(event).second);
  }
  for (int i = 0; i < kEvents; ++i) {
    if (i % 2 == 0) {
      EXPECT_EQ(WaitForEvent(first[i], 0), kWaitFailed) << i;
      EXPECT_FALSE(CloseHandle(first[i]));
    } else {
      EXPECT_TRUE(SetEventObject(first[i]));
      EXPECT_EQ(WaitForEvent(first[i], 0), kWaitObject0);
      CloseHandle(first[i]);
    }
  }
  for (Handle event : second) {
    EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
    CloseHandle(event);
  }
}

TEST(VirtualEvent, CloseDuringWaitsAndLookUpsOnOtherThreadsIsSafe) {
  Handle waited = CreateEventObject(false, false);
  Handle event = CreateEventObject(false, false);
  std::atomic<bool> closed{false};
  // A wait in progress keeps its event alive: it ends by its timeout.
  std::thread waiter([&] { EXPECT_EQ(WaitForEvent(waited, 200), kWaitTimeout); });
  std::vector<std::thread> setters;
  std::atomic<int> refused{0};
  for (int t = 0; t < 3; ++t) {
    setters.emplace_back([&] {
      for (;;) {
        const bool wasClosed = closed.load();
        if (!SetEventObject(event)) {
          EXPECT_EQ(LastError(), kErrorInvalidHandle);
          refused.fetch_add(1);
          return;
        }
        // Once the close has returned, the handle names nothing.
        EXPECT_FALSE(wasClosed);
        ResetEventObject(event);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(CloseHandle(waited));
  ASSERT_TRUE(CloseHandle(event));
  closed = true;
  for (auto& setter : setters) setter.join();
  waiter.join();
  EXPECT_EQ(refused.load(), 3);
}

}  // namespace
}  // namespace lumo::platform
