// Devices slow to answer and devices that refuse opens, met through the
// library's USB layer as an application meets them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "EmulatorTestSupport.h"
#include "usb/DriverInterface.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using emulator::EmulatedDevice;

// Polls until `done` holds; false after five seconds.
template <typename Done>
bool Eventually(Done done) {
  for (const auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(1ms))
    if (done()) return true;
  return false;
}

// A camera plugged in, with a handle open on it.
class SlowDevice : public EmulatedDeviceTest {
 protected:
  void SetUp() override { Open(EmulatedDevice::Camera("SLOW1")); }
};

TEST_F(SlowDevice, OpenWaitsTheDelayForEachSynchronousRequestAndSucceeds) {
  device->SetSlowRequests(25ms);
  usb::CLumoUSBDevice usbDevice(nullptr, usb::kDriverInterfaceClass);
  auto start = Clock::now();
  ASSERT_TRUE(usbDevice.OpenByIndex(0)) << usbDevice.OsError;
  const auto slow = Clock::now() - start;
  const std::uint64_t delayed = device->DelayedRequests();
  EXPECT_GE(delayed, 5u);  // the open itself, then the descriptor reads
  EXPECT_GE(slow, 25ms * delayed);
  EXPECT_EQ(usbDevice.VendorId, emulator::kCameraVendorId);

  device->SetSlowRequests(0ms);
  start = Clock::now();
  ASSERT_TRUE(usbDevice.OpenByIndex(0)) << usbDevice.OsError;
  EXPECT_LT(Clock::now() - start, slow);
  EXPECT_EQ(device->DelayedRequests(), delayed);
}

TEST_F(SlowDevice, OverlappedRequestsPassALoweredDelayReleasesWaiters) {
  device->SetSlowRequests(10s);
  Overlapped read;
  ASSERT_TRUE(read.Direct(handle, 0x81, 64));  // pending at once, not held
  EXPECT_EQ(device->DelayedRequests(), 0u);
  Reply reply;
  std::thread caller([&] { reply = GetDescriptor(handle, 1, 0, 18, nullptr); });
  EXPECT_TRUE(Eventually([&] { return device->DelayedRequests() == 1; }));
  const auto start = Clock::now();
  device->SetSlowRequests(0ms);
  caller.join();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_TRUE(reply.ok) << reply.error;
  device->PushInData(0x81, Pattern(64, 1));
  EXPECT_TRUE(read.Wait(handle).ok);
}

TEST_F(SlowDevice, UnplugEndsTheWaitsOfOpensAndRequests) {
  device->SetSlowRequests(10s);
  usb::CLumoUSBDevice opener(nullptr, usb::kDriverInterfaceClass);
  bool opened = true;
  std::thread openThread([&] { opened = opener.OpenByIndex(0); });
  Reply reply;
  std::thread requestThread([&] { reply = GetDescriptor(handle, 1, 0, 18, nullptr); });
  EXPECT_TRUE(Eventually([&] { return device->DelayedRequests() == 2; }));
  const auto start = Clock::now();
  EXPECT_TRUE(device->Unplug());
  openThread.join();
  requestThread.join();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_FALSE(opened);
  EXPECT_EQ(opener.OsError, platform::kErrorFileNotFound);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.error, platform::kErrorGenFailure);

  // Plugged in again, the device is slow as before and answers.
  device->SetSlowRequests(20ms);
  ASSERT_TRUE(device->Plug());
  ASSERT_TRUE(opener.OpenByIndex(0)) << opener.OsError;
  EXPECT_GT(device->DelayedRequests(), 2u);
}

TEST(RefusedOpens, FailWithTheGivenErrorWhileTheDeviceStaysListed) {
  auto camera = EmulatedDevice::Camera("DENY1");
  ASSERT_TRUE(camera->Plug());
  usb::CLumoUSBDevice device(nullptr, usb::kDriverInterfaceClass);
  camera->RefuseOpens(300ms);
  const auto refusedAt = Clock::now();
  EXPECT_FALSE(device.OpenByIndex(0));
  EXPECT_EQ(device.OsError, platform::kErrorAccessDenied);
  EXPECT_EQ(device.CountDevices(), 1u);
  std::this_thread::sleep_until(refusedAt + 400ms);
  EXPECT_TRUE(device.OpenByIndex(0)) << device.OsError;

  camera->RefuseNextOpens(2, 21);
  EXPECT_FALSE(device.OpenByIndex(0));
  EXPECT_FALSE(device.OpenByIndex(0));
  EXPECT_EQ(device.OsError, 21u);
  EXPECT_TRUE(device.OpenByIndex(0)) << device.OsError;
  EXPECT_EQ(camera->RefusedOpens(), 3u);
}

}  // namespace
}  // namespace lumo::test
