// I/O control requests on the virtual backend: synchronous and overlapped
// requests, completion on another thread, cancellation on close, and a
// device that goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ScriptedDriver.h"
#include "platform/UniqueHandle.h"

namespace lumo::platform {
namespace {

using test::kTestClass;
using test::ScriptedDriver;

constexpr char kPath[] = "\\\\?\\Dev#Io";

class VirtualIoControl : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(virt::Plug(kTestClass, kPath, &driver));
    device = OpenDevicePath(kPath);
    ASSERT_NE(device, InvalidHandle());
  }
  void TearDown() override {
    if (device != InvalidHandle()) CloseHandle(device);
    virt::Unplug(kPath);
    EXPECT_EQ(virt::OutstandingRequestCount(), 0u);
  }

  ScriptedDriver driver;
  Handle device = InvalidHandle();
};

TEST_F(VirtualIoControl, SynchronousRequestReturnsWhenFinishedWithByteCount) {
  driver.AnswerAtOnce({1, 2, 3});
  std::uint8_t buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  std::uint32_t bytes = 0;
  ASSERT_TRUE(IoControl(device, 0x220020, buffer, 2, buffer, sizeof(buffer), &bytes, nullptr));
  EXPECT_EQ(bytes, 3u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(buffer[3], 9);

  auto requests = driver.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, 0x220020u);
  EXPECT_EQ(requests[0].inSize, 2u);
  EXPECT_EQ(requests[0].outSize, 8u);
  EXPECT_FALSE(requests[0].overlapped);
}

TEST_F(VirtualIoControl, SynchronousRequestWaitsForALateCompletionAndReportsItsError) {
  std::atomic<bool> returned{false};
  std::uint32_t error = 0;
  std::thread caller([&] {
    std::uint8_t buffer[4] = {};
    std::uint32_t bytes = 0;
    EXPECT_FALSE(IoControl(device, 0x220044, buffer, 1, nullptr, 0, &bytes, nullptr));
    error = LastError();
    returned = true;
  });
  auto requests = driver.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(ScriptedDriver::Finish(requests[0].id, kErrorInvalidFunction));
  caller.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(error, kErrorInvalidFunction);
}

TEST_F(VirtualIoControl, OverlappedRequestIsPendingUntilFinishedOnAnotherThread) {
  UniqueHandle event(CreateEventObject(true, true));  // set: the request must reset it
  Overlapped overlapped;
  overlapped.event = event.get();
  std::uint8_t buffer[16] = {};
  EXPECT_FALSE(
      IoControl(device, 0x22004B, buffer, 4, buffer, sizeof(buffer), nullptr, &overlapped));
  EXPECT_EQ(LastError(), kErrorIoPending);

  std::uint32_t bytes = 77;
  EXPECT_FALSE(OverlappedResult(device, &overlapped, &bytes, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);
  EXPECT_EQ(WaitForEvent(event.get(), 0), kWaitTimeout);

  auto requests = driver.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].overlapped);
  std::thread completer([&] { ScriptedDriver::Finish(requests[0].id, 0, {5, 6, 7, 8, 9}); });
  EXPECT_EQ(WaitForEvent(event.get(), 5000), kWaitObject0);
  completer.join();
  ASSERT_TRUE(OverlappedResult(device, &overlapped, &bytes, false));
  EXPECT_EQ(bytes, 5u);
  EXPECT_EQ(buffer[4], 9);
  // Finishing twice does nothing.
  EXPECT_FALSE(ScriptedDriver::Finish(requests[0].id, 0, {1}));
  EXPECT_EQ(buffer[0], 5);
}

TEST_F(VirtualIoControl, OverlappedRequestFinishedDuringSubmissionStillCompletesLater) {
  driver.AnswerAtOnce({42, 43});
  UniqueHandle event(CreateEventObject(false, false));
  Overlapped overlapped;
  overlapped.event = event.get();
  std::uint8_t buffer[2] = {};
  EXPECT_FALSE(IoControl(device, 0x220024, buffer, 2, buffer, 2, nullptr, &overlapped));
  EXPECT_EQ(LastError(), kErrorIoPending);
  std::uint32_t bytes = 0;
  ASSERT_TRUE(OverlappedResult(device, &overlapped, &bytes, true));
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(buffer[1], 43);
}

TEST_F(VirtualIoControl, FailedOverlappedRequestReportsItsError) {
  UniqueHandle event(CreateEventObject(true, false));
  Overlapped overlapped;
  overlapped.event = event.get();
  std::uint8_t buffer[4] = {};
  IoControl(device, 0x22004B, buffer, 4, buffer, 4, nullptr, &overlapped);
  auto requests = driver.WaitForRequests(1);
  // Error codes that equal the pending status value must still read as finished.
  ScriptedDriver::Finish(requests[0].id, kErrorNoMoreItems, {1});
  std::uint32_t bytes = 0;
  EXPECT_FALSE(OverlappedResult(device, &overlapped, &bytes, true));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
  EXPECT_EQ(bytes, 1u);
}

TEST_F(VirtualIoControl, ClosingTheHandleCancelsItsRequestsOnly) {
  Handle second = OpenDevicePath(kPath);
  ASSERT_NE(second, InvalidHandle());
  UniqueHandle eventA(CreateEventObject(true, false));
  UniqueHandle eventB(CreateEventObject(true, false));
  Overlapped onFirst, onSecond;
  onFirst.event = eventA.get();
  onSecond.event = eventB.get();
  std::uint8_t a[4], b[4];
  IoControl(device, 0x22004B, a, 4, a, 4, nullptr, &onFirst);
  IoControl(second, 0x22004B, b, 4, b, 4, nullptr, &onSecond);
  auto requests = driver.WaitForRequests(2);

  ASSERT_TRUE(CloseHandle(second));
  std::uint32_t bytes = 0;
  EXPECT_FALSE(OverlappedResult(device, &onSecond, &bytes, true));
  EXPECT_EQ(LastError(), kErrorOperationAborted);
  EXPECT_FALSE(OverlappedResult(device, &onFirst, &bytes, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);
  // The driver finishing the cancelled request later changes nothing.
  EXPECT_FALSE(ScriptedDriver::Finish(requests[1].id, 0, {1}));
  EXPECT_TRUE(ScriptedDriver::Finish(requests[0].id, 0, {1}));
  EXPECT_TRUE(OverlappedResult(device, &onFirst, &bytes, true));
}

TEST_F(VirtualIoControl, VanishedDeviceFailsPendingAndNewRequests) {
  constexpr int kPending = 32;
  UniqueHandle event(CreateEventObject(true, false));
  std::vector<Overlapped> overlapped(kPending);
  std::vector<std::uint8_t> buffers(kPending * 4, 0xEE);
  for (int i = 0; i < kPending; ++i) {
    overlapped[i].event = event.get();
    IoControl(device, 0x22004B, &buffers[i * 4], 4, &buffers[i * 4], 4, nullptr, &overlapped[i]);
  }
  auto requests = driver.WaitForRequests(kPending);
  ASSERT_TRUE(virt::Unplug(kPath));
  for (auto& entry : overlapped) {
    std::uint32_t bytes = 1;
    EXPECT_FALSE(OverlappedResult(device, &entry, &bytes, true));
    EXPECT_EQ(LastError(), kErrorGenFailure);
    EXPECT_EQ(bytes, 0u);
  }
  // A late completion by the driver no longer reaches the caller's memory.
  EXPECT_FALSE(ScriptedDriver::Finish(requests[0].id, 0, {1, 2, 3, 4}));
  EXPECT_EQ(buffers[0], 0xEE);

  std::uint8_t buffer[4] = {};
  EXPECT_FALSE(IoControl(device, 0x220020, buffer, 4, buffer, 4, nullptr, nullptr));
  EXPECT_EQ(LastError(), kErrorGenFailure);
  // A refused overlapped request never started: nothing is left to wait for.
  Overlapped refused;
  refused.event = event.get();
  EXPECT_FALSE(IoControl(device, 0x220020, buffer, 4, buffer, 4, nullptr, &refused));
  EXPECT_EQ(LastError(), kErrorGenFailure);
  EXPECT_FALSE(IsPending(refused));
  // The same path plugged again is a new device: the old handle stays dead.
  ScriptedDriver replacement;
  replacement.AnswerAtOnce({1});
  ASSERT_TRUE(virt::Plug(kTestClass, kPath, &replacement));
  EXPECT_FALSE(IoControl(device, 0x220020, buffer, 4, buffer, 4, nullptr, nullptr));
  EXPECT_EQ(LastError(), kErrorGenFailure);
}

TEST_F(VirtualIoControl, AFinishedRequestsIdNeverFinishesALaterRequest) {
  UniqueHandle event(CreateEventObject(true, false));
  Overlapped first, second;
  first.event = second.event = event.get();
  std::uint8_t a[4] = {}, b[4] = {};
  IoControl(device, 0x22004B, a, 4, a, 4, nullptr, &first);
  const virt::RequestId firstId = driver.WaitForRequests(1)[0].id;
  ASSERT_TRUE(ScriptedDriver::Finish(firstId, 0, {7}));
  // The second request may take the first one's record.
  IoControl(device, 0x22004B, b, 4, b, 4, nullptr, &second);
  const virt::RequestId secondId = driver.WaitForRequests(2)[1].id;
  EXPECT_NE(secondId, firstId);
  EXPECT_FALSE(ScriptedDriver::Finish(firstId, 0, {9}));
  std::uint32_t bytes = 0;
  EXPECT_FALSE(OverlappedResult(device, &second, &bytes, false));
  EXPECT_EQ(LastError(), kErrorIoIncomplete);
  EXPECT_EQ(b[0], 0);
  ASSERT_TRUE(ScriptedDriver::Finish(secondId, 0, {8}));
  ASSERT_TRUE(OverlappedResult(device, &second, &bytes, true));
  EXPECT_EQ(b[0], 8);
  EXPECT_EQ(a[0], 7);
}

TEST_F(VirtualIoControl, ThousandsOfRequestsInFlightFinishInAnyOrderOrOnClose) {
  constexpr int kRequests = 2500;
  UniqueHandle event(CreateEventObject(true, false));
  std::vector<Overlapped> overlapped(kRequests);
  std::vector<std::uint8_t> buffers(kRequests, 0);
  for (int i = 0; i < kRequests; ++i) {
    overlapped[i].event = event.get();
    IoControl(device, 0x22004B, &buffers[i], 1, &buffers[i], 1, nullptr, &overlapped[i]);
  }
  auto requests = driver.WaitForRequests(kRequests);
  ASSERT_EQ(requests.size(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(virt::OutstandingRequestCount(), static_cast<std::size_t>(kRequests));
  // Every other one finished by the driver, last first; closing the handle
  // cancels the rest.
  for (int i = kRequests - 1; i >= 0; i -= 2)
    ASSERT_TRUE(ScriptedDriver::Finish(requests[i].id, 0, {static_cast<std::uint8_t>(i % 251)}));
  ASSERT_TRUE(CloseHandle(device));
  Handle closed = std::exchange(device, InvalidHandle());
  EXPECT_EQ(virt::OutstandingRequestCount(), 0u);
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_FALSE(IsPending(overlapped[i]));
    const std::uintptr_t status = overlapped[i].internal.load();
    if (i % 2 == (kRequests - 1) % 2) {
      EXPECT_EQ(status, 0u) << i;
      EXPECT_EQ(buffers[i], i % 251) << i;
    } else {
      EXPECT_EQ(status & 0xFFFF, kErrorOperationAborted) << i;
      EXPECT_EQ(buffers[i], 0) << i;
    }
  }
  EXPECT_FALSE(OverlappedResult(closed, &overlapped[0], nullptr, false));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

TEST_F(VirtualIoControl, UnplugWaitsForAThreadInsideTheDriver) {
  driver.SetSubmitDelay(std::chrono::milliseconds(150));
  driver.AnswerAtOnce({});
  std::atomic<bool> submitted{false};
  std::thread caller([&] {
    std::uint8_t buffer[1];
    IoControl(device, 0x220020, buffer, 1, buffer, 1, nullptr, nullptr);
    submitted = true;
  });
  ASSERT_TRUE(driver.WaitUntilEntered());
  ASSERT_TRUE(virt::Unplug(kPath));
  // Unplug returned, so the driver may be destroyed: nobody may be inside it.
  EXPECT_EQ(driver.WaitForRequests(1).size(), 1u);
  caller.join();
  EXPECT_TRUE(submitted.load());
}

TEST_F(VirtualIoControl, InvalidHandlesAreRefused) {
  std::uint8_t buffer[1];
  EXPECT_FALSE(IoControl(InvalidHandle(), 0x220020, buffer, 1, buffer, 1, nullptr, nullptr));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
  UniqueHandle event(CreateEventObject(false, false));
  // An event is not a device.
  EXPECT_FALSE(IoControl(event.get(), 0x220020, buffer, 1, buffer, 1, nullptr, nullptr));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace lumo::platform
