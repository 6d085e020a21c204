// The handle methods of the manager: a handle is found by value among the
// registered cameras before anything is done with it.
#include <atomic>
#include <memory>
#include <thread>

#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "manager/ManagerTestSupport.h"

namespace lumo::manager {
namespace {

using emulator::EmulatedDevice;
using test::NoneValue;

// Every handle method with `handle` must fail as when no camera is found.
void ExpectAllHandleMethodsFail(LumoUsbManager& manager, void* handle) {
  std::uint8_t data[8] = {};
  int length = 8;
  void* image = reinterpret_cast<void*>(0x1);
  EXPECT_FALSE(manager.CloseDevice(handle));
  EXPECT_FALSE(manager.StartAcq(handle));
  EXPECT_FALSE(manager.StopAcq(handle));
  EXPECT_FALSE(manager.SetupCommand(handle, 0x100, data, 4, 100));
  EXPECT_FALSE(manager.ReadCommand(handle, 0x100, data, 4, 100));
  EXPECT_FALSE(manager.CameraSendBuffer(handle, data, 4, 100));
  EXPECT_FALSE(manager.CameraReadBuffer(handle, data, &length, 100));
  EXPECT_EQ(manager.GetBufferCount(handle), 0);
  manager.SetBufferCount(handle, 3);
  manager.SetPixelSize(handle, 1);
  EXPECT_FALSE(manager.CameraGetImage(handle, &image, 0));
  // A handle that is not found leaves the caller's image pointer alone.
  EXPECT_EQ(image, reinterpret_cast<void*>(0x1));
}

class ManagerHandles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(camera->Plug());
    manager = std::make_unique<LumoUsbManager>();
    ASSERT_EQ(manager->DeviceCount(), 1);
    registered = StateOf(*manager).cameraByPath.begin()->second.get();
  }

  std::unique_ptr<EmulatedDevice> camera = EmulatedDevice::Camera("Handles");
  std::unique_ptr<LumoUsbManager> manager;
  camera::CameraDevice* registered = nullptr;
};

TEST_F(ManagerHandles, NullNoneStaleAndForeignHandlesAreNotFound) {
  ExpectAllHandleMethodsFail(*manager, nullptr);
  ExpectAllHandleMethodsFail(*manager, NoneValue());

  // A camera object that no longer exists: its address is never read.
  auto gone = std::make_unique<camera::CameraDevice>("\\\\?\\usb#vid_04b4&pid_00f1#gone");
  volatile std::uintptr_t staleBits = reinterpret_cast<std::uintptr_t>(gone.get());
  gone.reset();
  ExpectAllHandleMethodsFail(*manager, reinterpret_cast<void*>(staleBits));

  // Addresses of other things: a device ID, the state, a local.
  int local = 0;
  ExpectAllHandleMethodsFail(*manager, manager->GetDeviceIDForIndex(0));
  ExpectAllHandleMethodsFail(*manager, &registered->State());
  ExpectAllHandleMethodsFail(*manager, &local);
  // The same camera registered with another manager is not this manager's.
  LumoUsbManager other;
  auto& others = StateOf(other).cameraByPath;
  ASSERT_EQ(others.size(), 1u);
  ExpectAllHandleMethodsFail(*manager, others.begin()->second.get());
}

TEST_F(ManagerHandles, ClosedRegisteredCamera) {
  void* handle = registered;
  // Closing a camera that is not open succeeds without doing anything.
  EXPECT_TRUE(manager->CloseDevice(handle));
  EXPECT_FALSE(registered->IsOpen());
  // Operations that need an open camera fail and leave it untouched.
  std::uint8_t data[4] = {};
  int length = 4;
  EXPECT_FALSE(manager->StartAcq(handle));
  EXPECT_FALSE(manager->StopAcq(handle));
  EXPECT_FALSE(manager->SetupCommand(handle, 0, data, 4, 10));
  EXPECT_FALSE(manager->ReadCommand(handle, 0, data, 4, 10));
  EXPECT_FALSE(manager->CameraSendBuffer(handle, data, 4, 10));
  EXPECT_FALSE(manager->CameraReadBuffer(handle, data, &length, 10));
  EXPECT_EQ(manager->GetBufferCount(handle), 0);
  manager->SetBufferCount(handle, 3);
  manager->SetPixelSize(handle, 1);
  EXPECT_EQ(registered->State().bufferCount, 10);
  EXPECT_EQ(registered->State().pixelSize, 2);
  EXPECT_FALSE(registered->State().lifecycle.AcquisitionRequested());
  EXPECT_EQ(camera->RefusedRequests(), 0u);
}

TEST_F(ManagerHandles, OpenDeviceLooksUpThePathWithoutReadingNullOrNone) {
  EXPECT_EQ(manager->OpenDevice(nullptr), NoneValue());
  EXPECT_EQ(manager->OpenDevice(NoneValue()), NoneValue());
  char unknown[] = "\\\\?\\usb#vid_04b4&pid_00f1#unknown";
  EXPECT_EQ(manager->OpenDevice(unknown), NoneValue());
  // The mixed-case path Windows reports is not the registry's key.
  std::string mixed = camera->Path();
  EXPECT_EQ(manager->OpenDevice(&mixed[0]), NoneValue());
}

TEST_F(ManagerHandles, CallersRunConcurrentlyUnderTheSharedLock) {
  void* handle = registered;
  std::vector<std::thread> callers;
  std::atomic<int> successes{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        if (manager->CloseDevice(handle) && manager->DeviceCount() == 1 &&
            manager->GetDeviceIDForIndex(0) != NoneValue())
          ++successes;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(successes.load(), 2000);
}

}  // namespace
}  // namespace lumo::manager
