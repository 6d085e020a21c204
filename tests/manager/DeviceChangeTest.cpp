// The application's device-change callback: called for every camera that
// arrives or leaves, outside the library's locks, so that it can call back
// into the manager; and never again once it has been replaced or removed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerTestSupport.h"
#include "platform/virtual/VirtualBus.h"
#include "usb/DevicePath.h"

namespace lumo::manager {
namespace {

using emulator::EmulatedDevice;
using test::NoneValue;

void Delivered() { ASSERT_TRUE(emulator::WaitForNoticesHandled(10000)); }

// What the re-entering callback saw, one entry per call.
struct Seen {
  int event;
  std::string path;
  void* handle;
  void* opened;   // OpenDevice(path) from within the callback
  bool gotFrame;  // CameraGetImage from within the callback
  int deviceCount;
};

struct Reentering {
  LumoUsbManager* manager;
  std::mutex lock;
  std::vector<Seen> seen;
};

void OpenAndGrab(void* context, int event, const char* devicePath, void* handle) {
  auto& self = *static_cast<Reentering*>(context);
  LumoUsbManager& manager = *self.manager;
  Seen entry{event, devicePath, handle, NoneValue(), false, manager.DeviceCount()};
  if (event == LUMO_DEVICE_ARRIVED) {
    entry.opened = manager.OpenDevice(const_cast<char*>(devicePath));
    void* image = nullptr;
    entry.gotFrame = manager.StartAcq(entry.opened) &&
                     manager.CameraGetImage(entry.opened, &image, 5000) && image != nullptr;
  }
  std::lock_guard<std::mutex> guard(self.lock);
  self.seen.push_back(entry);
}

bool WaitForCalls(Reentering& calls, std::size_t count) {
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> guard(calls.lock);
      if (calls.seen.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(DeviceChange, CallbackMayOpenTheCameraThatArrivedAndTakeItsFrames) {
  auto camera = EmulatedDevice::Camera("DC1");
  emulator::StreamConfig config = camera->Stream().Config();
  config.width = 256;
  config.height = 64;
  config.frameLimit = 0;
  config.bytesPerSecond = 2000000;
  camera->Stream().SetConfig(config);
  LumoUsbManager manager;
  ASSERT_EQ(manager.DeviceCount(), 0);
  Reentering calls{&manager, {}, {}};
  manager.SetDeviceChangeCallback(&OpenAndGrab, &calls);

  ASSERT_TRUE(camera->Plug());
  Delivered();
  ASSERT_TRUE(WaitForCalls(calls, 1));
  {
    std::lock_guard<std::mutex> guard(calls.lock);
    const Seen& arrival = calls.seen[0];
    EXPECT_EQ(arrival.event, LUMO_DEVICE_ARRIVED);
    EXPECT_EQ(arrival.path, usb::LowerCase(camera->Path()));
    EXPECT_EQ(arrival.deviceCount, 1);
    EXPECT_EQ(arrival.opened, arrival.handle);  // the handle OpenDevice gives
    EXPECT_TRUE(arrival.gotFrame);
  }
  void* const handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  ASSERT_NE(handle, NoneValue());

  // The open camera leaves and returns with its handle; its acquisition
  // resumes, and the callback takes a frame of the resumed run.
  ASSERT_TRUE(camera->Unplug());
  Delivered();
  ASSERT_TRUE(camera->Plug());
  Delivered();
  ASSERT_TRUE(WaitForCalls(calls, 3));
  {
    std::lock_guard<std::mutex> guard(calls.lock);
    EXPECT_EQ(calls.seen[1].event, LUMO_DEVICE_REMOVED);
    EXPECT_EQ(calls.seen[1].handle, handle);
    EXPECT_EQ(calls.seen[2].event, LUMO_DEVICE_ARRIVED);
    EXPECT_EQ(calls.seen[2].handle, handle);
    EXPECT_EQ(calls.seen[2].opened, handle);
    EXPECT_TRUE(calls.seen[2].gotFrame);
  }

  // Closed, it is dropped when it leaves: the removal names no handle.
  ASSERT_TRUE(manager.CloseDevice(handle));
  ASSERT_TRUE(camera->Unplug());
  Delivered();
  ASSERT_TRUE(WaitForCalls(calls, 4));
  // The registry outlives the test: its callback must not outlive `calls`.
  manager.SetDeviceChangeCallback(nullptr, nullptr);
  std::lock_guard<std::mutex> guard(calls.lock);
  EXPECT_EQ(calls.seen[3].event, LUMO_DEVICE_REMOVED);
  EXPECT_EQ(calls.seen[3].handle, NoneValue());
  EXPECT_EQ(calls.seen[3].deviceCount, 0);
}

// A context that must not be touched once its callback was replaced: the
// test frees it right after, so a late call reads freed memory (which the
// address checker reports), and `retired` catches it without one.
struct Counted {
  std::atomic<bool> retired{false};
  std::atomic<int> calls{0};
  std::atomic<int>* lateCalls;
};

void CountCall(void* context, int /*event*/, const char* /*path*/, void* /*handle*/) {
  auto& self = *static_cast<Counted*>(context);
  if (self.retired.load()) self.lateCalls->fetch_add(1);
  self.calls.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (self.retired.load()) self.lateCalls->fetch_add(1);  // still running after replacement
}

void Ignore(void* /*context*/, int /*event*/, const char* /*path*/, void* /*handle*/) {}

LumoUsbManager* selfRemovingManager = nullptr;
std::atomic<int> selfRemovals{0};
void RemoveItself(void* /*context*/, int /*event*/, const char* /*path*/, void* /*handle*/) {
  selfRemovals.fetch_add(1);
  selfRemovingManager->SetDeviceChangeCallback(nullptr, nullptr);  // must not wait for itself
}

TEST(DeviceChange, ReplacedOrRemovedCallbacksAreNeverCalledAgain) {
  auto a = EmulatedDevice::Camera("DCA");
  auto b = EmulatedDevice::Camera("DCB");
  LumoUsbManager manager;
  std::atomic<int> lateCalls{0};
  std::atomic<bool> stop{false};
  std::thread plugger([&] {
    while (!stop.load()) {
      // Paced by the pump, so that notices do not pile up.
      for (EmulatedDevice* device : {a.get(), b.get()}) {
        device->Plug();
        emulator::WaitForNoticesHandled(10000);
        device->Unplug();
      }
      emulator::WaitForNoticesHandled(10000);
    }
  });
  int total = 0;
  for (int round = 0; round < 200; ++round) {
    auto context = std::make_unique<Counted>();
    context->lateCalls = &lateCalls;
    manager.SetDeviceChangeCallback(&CountCall, context.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 3 == 0 ? 0 : 3));
    if (round % 2 == 0)
      manager.SetDeviceChangeCallback(nullptr, nullptr);
    else
      manager.SetDeviceChangeCallback(&Ignore, nullptr);  // replaced
    context->retired = true;
    total += context->calls.load();
    context.reset();
    if (round % 2 == 1) manager.SetDeviceChangeCallback(nullptr, nullptr);
  }
  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_GT(total, 0) << "no change reached any callback";

  selfRemovingManager = &manager;
  manager.SetDeviceChangeCallback(&RemoveItself, nullptr);
  for (int i = 0; i < 200 && selfRemovals.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  plugger.join();
  Delivered();
  EXPECT_EQ(selfRemovals.load(), 1);
}

}  // namespace
}  // namespace lumo::manager
