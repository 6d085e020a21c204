// Events of the virtual backend.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

}  // namespace
}  // namespace lumo::platform
