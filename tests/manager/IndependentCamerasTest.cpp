// Several cameras on one manager stay independent of each other: the
// registry lists exactly the cameras plugged in, whatever the order of
// unplugs and plugs, and one camera that is slow to come back holds up
// neither the frames nor the calls of another.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lumo/CameraStatistics.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "manager/ManagerTestSupport.h"
#include "usb/DevicePath.h"

namespace lumo::manager {
namespace {

using emulator::EmulatedDevice;
using test::NoneValue;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void Handled() { ASSERT_TRUE(emulator::WaitForNoticesHandled(30000)); }

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

bool RegisterRoundTrip(LumoUsbManager& manager, void* handle, std::uint8_t value) {
  Bytes written(4, value);
  Bytes read(4, 0);
  return manager.SetupCommand(handle, 0x200, written.data(), 4, 2000) &&
         manager.ReadCommand(handle, 0x200, read.data(), 4, 2000) && read == Bytes(4, value);
}

// The devices of the driver's class in the order the bus lists them (plug
// order), so a device's position is its enumeration index.
class PluggedDevices {
 public:
  void Plug(EmulatedDevice& device) {
    ASSERT_TRUE(device.Plug());
    order_.push_back(&device);
  }
  void Unplug(EmulatedDevice& device) {
    ASSERT_TRUE(device.Unplug());
    order_.erase(std::find(order_.begin(), order_.end(), &device));
  }
  bool IsPlugged(const EmulatedDevice& device) const {
    return std::find(order_.begin(), order_.end(), &device) != order_.end();
  }
  const std::vector<EmulatedDevice*>& Order() const { return order_; }

 private:
  std::vector<EmulatedDevice*> order_;
};

TEST(IndependentCameras, RegistryListsEveryPluggedCameraOnceUnderItsCurrentIndex) {
  auto other = EmulatedDevice::OtherDevice("IRO");
  std::vector<std::unique_ptr<EmulatedDevice>> cameras;
  for (const char* serial : {"IRX", "IRY", "IRZ"})
    cameras.push_back(EmulatedDevice::Camera(serial));
  PluggedDevices bus;
  bus.Plug(*other);  // a device that is no camera shifts the indexes
  for (auto& camera : cameras) bus.Plug(*camera);
  LumoUsbManager manager;

  // Y stays open throughout: an open camera keeps its handle while away.
  EmulatedDevice& openCamera = *cameras[1];
  void* const openId = manager.GetDeviceIDForIndex(2);
  ASSERT_NE(openId, NoneValue());
  void* const openHandle = manager.OpenDevice(openId);
  ASSERT_NE(openHandle, NoneValue());
  std::vector<void*> idsSeen = {openId};

  const auto check = [&](int step) {
    SCOPED_TRACE("step " + std::to_string(step));
    std::map<int, std::string> expected;
    for (std::size_t i = 0; i < bus.Order().size(); ++i)
      if (bus.Order()[i] != other.get())
        expected[static_cast<int>(i)] = usb::LowerCase(bus.Order()[i]->Path());
    EXPECT_EQ(manager.DeviceCount(), static_cast<int>(expected.size()));
    for (int index = 0; index < 8; ++index) {
      void* const id = manager.GetDeviceIDForIndex(index);
      const auto wanted = expected.find(index);
      if (wanted == expected.end()) {
        EXPECT_EQ(id, NoneValue()) << "index " << index;
        continue;
      }
      ASSERT_NE(id, NoneValue()) << "index " << index;
      EXPECT_EQ(std::string(static_cast<const char*>(id)), wanted->second);
      idsSeen.push_back(id);
      // Every listed ID opens its camera; the open one gives its handle.
      void* const handle = manager.OpenDevice(id);
      ASSERT_NE(handle, NoneValue()) << wanted->second;
      if (wanted->second == usb::LowerCase(openCamera.Path())) {
        EXPECT_EQ(handle, openHandle);
        EXPECT_TRUE(RegisterRoundTrip(manager, handle, static_cast<std::uint8_t>(step)));
      } else {
        EXPECT_TRUE(manager.CloseDevice(handle));
      }
    }
    // Away, the open camera is not listed but its ID and handle still name it.
    if (!bus.IsPlugged(openCamera)) {
      EXPECT_EQ(manager.OpenDevice(openId), openHandle);
      EXPECT_TRUE(CameraFor(StateOf(manager), openHandle)->IsRemoved());
    }
    // IDs handed out earlier stay readable.
    for (void* id : idsSeen)
      EXPECT_EQ(std::string(static_cast<const char*>(id)).rfind("\\\\?\\usb#", 0), 0u);
  };

  std::mt19937 random(20261209);
  check(0);
  for (int step = 1; step <= 24; ++step) {
    EmulatedDevice& camera = *cameras[random() % cameras.size()];
    if (bus.IsPlugged(camera)) {
      bus.Unplug(camera);
    } else {
      bus.Plug(camera);
    }
    Handled();
    check(step);
    if (HasFatalFailure()) return;
  }
  for (auto& camera : cameras)
    if (!bus.IsPlugged(*camera)) bus.Plug(*camera);
  Handled();
  check(25);
  EXPECT_TRUE(manager.CloseDevice(openHandle));
}

// Camera A streams 200 frames a second while camera B, which was open when
// it was unplugged, takes seconds to open again when it returns (every
// synchronous request of B is slow, as with a camera that is still
// booting). A goes on handing out frames and answering register calls.
TEST(IndependentCameras, ASlowReattachStallsNoOtherCamera) {
  // An open makes about twenty synchronous requests: about 5 s in all.
  constexpr milliseconds kRequestDelay{250};
  constexpr double kSlowOpenMs = 4000;
  auto a = EmulatedDevice::Camera("ISA");
  auto b = EmulatedDevice::Camera("ISB");
  ASSERT_TRUE(a->Plug());
  ASSERT_TRUE(b->Plug());
  emulator::StreamConfig config = a->Stream().Config();
  config.width = 256;
  config.height = 64;
  config.pixelSize = 2;
  config.bytesPerSecond = 256 * 64 * 2 * 200;  // 200 frames per second
  a->Stream().SetConfig(config);

  LumoUsbManager manager;
  void* const handleA = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  void* const idB = manager.GetDeviceIDForIndex(1);
  void* const handleB = manager.OpenDevice(idB);
  ASSERT_NE(handleA, NoneValue());
  ASSERT_NE(handleB, NoneValue());
  ASSERT_TRUE(manager.StartAcq(handleA));
  ASSERT_TRUE(b->Unplug());
  Handled();

  std::atomic<bool> stop{false};
  std::vector<Clock::time_point> frameTimes;
  frameTimes.reserve(4000);
  std::thread taker([&] {
    void* image = nullptr;
    while (!stop.load(std::memory_order_acquire))
      if (manager.CameraGetImage(handleA, &image, 1000)) frameTimes.push_back(Clock::now());
  });
  double slowestCall = 0;
  int registerCalls = 0;
  std::thread registers([&] {
    for (std::uint8_t value = 1; !stop.load(std::memory_order_acquire); ++value) {
      const auto start = Clock::now();
      EXPECT_TRUE(RegisterRoundTrip(manager, handleA, value));
      slowestCall = std::max(slowestCall, MsBetween(start, Clock::now()));
      ++registerCalls;
      std::this_thread::sleep_for(milliseconds(20));
    }
  });

  // Let A's frames flow, then B returns, slowly.
  std::this_thread::sleep_for(milliseconds(300));
  b->SetSlowRequests(kRequestDelay);
  const auto finishedBefore = a->Stream().Counters().framesFinished;
  const auto plugged = Clock::now();
  ASSERT_TRUE(b->Plug());
  // While B is being re-attached its calls fail at once.
  std::this_thread::sleep_for(milliseconds(500));
  {
    Bytes bytes(4, 0);
    const auto start = Clock::now();
    EXPECT_FALSE(manager.ReadCommand(handleB, 0x200, bytes.data(), 4, 3000));
    EXPECT_LT(MsBetween(start, Clock::now()), 500.0);
  }
  Handled();
  const auto reattached = Clock::now();
  const auto finishedDuring = a->Stream().Counters().framesFinished;
  stop.store(true, std::memory_order_release);
  taker.join();
  registers.join();

  // B really took its time, and is back.
  EXPECT_GE(MsBetween(plugged, reattached), kSlowOpenMs);
  EXPECT_GT(b->DelayedRequests(), 0u);
  b->SetSlowRequests(milliseconds(0));
  EXPECT_TRUE(RegisterRoundTrip(manager, handleB, 0x42));

  // A's frames during B's return: no long gap, and most of them reached
  // the caller. (The target is a gap of 20 ms; the limit here is generous
  // for sanitizer builds on a loaded machine.)
  double longestGap = 0;
  std::size_t during = 0;
  for (std::size_t i = 1; i < frameTimes.size(); ++i) {
    if (frameTimes[i] < plugged || frameTimes[i - 1] > reattached) continue;
    ++during;
    longestGap = std::max(longestGap, MsBetween(frameTimes[i - 1], frameTimes[i]));
  }
  std::printf(
      "camera A during B's %.0f ms return: %zu frames taken of %llu sent, longest gap "
      "%.1f ms; slowest register round trip %.1f ms over %d\n",
      MsBetween(plugged, reattached), during,
      static_cast<unsigned long long>(finishedDuring - finishedBefore), longestGap, slowestCall,
      registerCalls);
  EXPECT_LT(longestGap, 1000.0);
  EXPECT_GT(during, (finishedDuring - finishedBefore) / 2);
  EXPECT_LT(slowestCall, 1500.0);
  EXPECT_TRUE(manager.CloseDevice(handleA));
  EXPECT_TRUE(manager.CloseDevice(handleB));
}

// A removal that comes while the camera's re-attach still runs is handled
// after it, and a camera that enumerates but refuses to open for a while is
// re-attached once it accepts, with no further notice.
TEST(IndependentCameras, NoticesOfOneCameraAreHandledInOrderAndRefusedOpensAreRetried) {
  auto camera = EmulatedDevice::Camera("ISO");
  ASSERT_TRUE(camera->Plug());
  LumoUsbManager manager;
  void* const handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  ASSERT_NE(handle, NoneValue());
  ASSERT_TRUE(camera->Unplug());
  Handled();

  // Plugged back slowly, and pulled again while its open waits.
  camera->SetSlowRequests(milliseconds(3000));
  ASSERT_TRUE(camera->Plug());
  std::this_thread::sleep_for(milliseconds(300));
  ASSERT_TRUE(camera->Unplug());
  Handled();
  camera->SetSlowRequests(milliseconds(0));
  LumoCameraStatistics statistics{};
  ASSERT_TRUE(manager.GetStatistics(handle, &statistics));
  EXPECT_EQ(statistics.removals, 1u);  // counted when it left attached, once
  EXPECT_EQ(statistics.reattaches, 0u);
  EXPECT_TRUE(StateOf(manager).cameraByPath.begin()->second->IsRemoved());
  EXPECT_EQ(StateOf(manager).cameraByPath.begin()->second->Lifecycle(), camera::Phase::kAwayOpen);
  EXPECT_FALSE(RegisterRoundTrip(manager, handle, 1));

  // Back, but refusing to open for 600 ms: the re-attach is tried again.
  camera->RefuseOpens(milliseconds(600));
  ASSERT_TRUE(camera->Plug());
  Handled();
  EXPECT_GE(camera->RefusedOpens(), 1u);
  EXPECT_TRUE(RegisterRoundTrip(manager, handle, 2));
  ASSERT_TRUE(manager.GetStatistics(handle, &statistics));
  EXPECT_EQ(statistics.reattaches, 1u);
  EXPECT_TRUE(manager.CloseDevice(handle));
}

// A handle kept after its camera was dropped names no camera, ever: a
// camera registered later never takes the address of a dropped one.
TEST(IndependentCameras, AHandleKeptAfterItsCameraWasDroppedNamesNoOtherCamera) {
  auto a = EmulatedDevice::Camera("IHA");
  auto b = EmulatedDevice::Camera("IHB");
  ASSERT_TRUE(a->Plug());
  LumoUsbManager manager;
  std::vector<void*> dropped;
  for (int round = 0; round < 20; ++round) {
    EmulatedDevice& leaving = round % 2 ? *b : *a;
    EmulatedDevice& coming = round % 2 ? *a : *b;
    void* handle = manager.OpenDevice(const_cast<char*>(usb::LowerCase(leaving.Path()).c_str()));
    ASSERT_NE(handle, NoneValue());
    ASSERT_TRUE(manager.CloseDevice(handle));
    ASSERT_TRUE(coming.Plug());
    ASSERT_TRUE(leaving.Unplug());
    Handled();
    dropped.push_back(handle);
    void* fresh = manager.OpenDevice(const_cast<char*>(usb::LowerCase(coming.Path()).c_str()));
    ASSERT_NE(fresh, NoneValue());
    for (void* old : dropped) {
      EXPECT_NE(fresh, old) << "round " << round;
      LumoCameraStatistics statistics{};
      EXPECT_FALSE(manager.GetStatistics(old, &statistics)) << "round " << round;
    }
    ASSERT_TRUE(manager.CloseDevice(fresh));
  }
}

}  // namespace
}  // namespace lumo::manager
