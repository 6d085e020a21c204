// Discovery of cameras by the manager: which devices become cameras, under
// which index keys, and the pump thread every manager starts.
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "manager/ManagerTestSupport.h"

namespace lumo::manager {
namespace {

using emulator::DeviceIdentity;
using emulator::EmulatedDevice;
using test::NoneValue;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(ManagerRegistry, NoCameraStillStartsThePump) {
  const std::size_t before = test::PumpClasses().size();
  LumoUsbManager manager;
  EXPECT_EQ(manager.DeviceCount(), 0);
  for (int index = -1; index < 4; ++index)
    EXPECT_EQ(manager.GetDeviceIDForIndex(index), NoneValue());
  EXPECT_TRUE(test::PumpsRegistered(before + 1));
  const auto classes = test::PumpClasses();
  ASSERT_EQ(classes.size(), before + 1);
  // Class names end in the pump thread's id, in decimal digits.
  for (const std::string& name : classes) {
    const std::string digits = name.substr(std::string("wndClsMsgPumpWnd").size());
    ASSERT_FALSE(digits.empty());
    for (char c : digits) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << name;
  }
  EXPECT_TRUE(StateOf(manager).pumpThread.joinable());
}

TEST(ManagerRegistry, IndexKeysAreEnumerationPositions) {
  // Enumeration order: other, camera, other, other, camera.
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  devices.push_back(EmulatedDevice::OtherDevice("O1"));
  devices.push_back(EmulatedDevice::Camera("Cam1"));
  devices.push_back(EmulatedDevice::OtherDevice("O2", 0x1234, 0x00F1));
  devices.push_back(EmulatedDevice::OtherDevice("O3"));
  devices.push_back(EmulatedDevice::Camera("Cam2"));
  for (auto& device : devices) ASSERT_TRUE(device->Plug());

  LumoUsbManager manager;
  EXPECT_EQ(manager.DeviceCount(), 2);
  for (int index : {0, 2, 3, 5, 255}) EXPECT_EQ(manager.GetDeviceIDForIndex(index), NoneValue());
  void* first = manager.GetDeviceIDForIndex(1);
  void* second = manager.GetDeviceIDForIndex(4);
  ASSERT_NE(first, NoneValue());
  ASSERT_NE(second, NoneValue());
  EXPECT_EQ(std::string(static_cast<const char*>(first)), Lower(devices[1]->Path()));
  EXPECT_EQ(std::string(static_cast<const char*>(second)), Lower(devices[4]->Path()));
  // IDs are stable: the same address every time.
  EXPECT_EQ(manager.GetDeviceIDForIndex(1), first);

  ManagerState& state = StateOf(manager);
  EXPECT_EQ(state.cameraByPath.size(), 2u);
  EXPECT_EQ(state.cameraByPath.count(Lower(devices[4]->Path())), 1u);
}

// A camera plugged while a manager starts is listed however the arrival
// falls between the constructor's enumeration and its pump's registration
// for notices. Each round plugs the camera after a different short delay.
TEST(ManagerRegistry, ACameraArrivingWhileTheManagerStartsIsListed) {
  for (int round = 0; round < 60; ++round) {
    auto camera = EmulatedDevice::Camera("Starting" + std::to_string(round));
    std::thread plugger([&camera, round] {
      std::this_thread::sleep_for(std::chrono::microseconds(10 * (round % 30)));
      EXPECT_TRUE(camera->Plug());
    });
    LumoUsbManager manager;
    plugger.join();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (manager.DeviceCount() != 1 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(manager.DeviceCount(), 1) << "round " << round;
    void* handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
    ASSERT_NE(handle, NoneValue()) << "round " << round;
    EXPECT_TRUE(manager.CloseDevice(handle));
    camera->Unplug();
  }
}

TEST(ManagerRegistry, OnlyPathsWithTheFullCameraPrefixAreCameras) {
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  // Same product id, other vendor; same vendor, other product.
  devices.push_back(EmulatedDevice::OtherDevice("A", 0x04B5, 0x00F1));
  devices.push_back(EmulatedDevice::OtherDevice("B", 0x04B4, 0x00F2));
  for (auto& device : devices) ASSERT_TRUE(device->Plug());
  // A path that is the prefix cut short, and one that is exactly the prefix.
  struct NoDriver : platform::virt::VirtualDriver {
    void OnRequest(const platform::virt::RequestInfo& request) override {
      platform::virt::CompleteRequest(request.id, platform::kErrorInvalidFunction);
    }
  } driver;
  ASSERT_TRUE(
      platform::virt::Plug(usb::kDriverInterfaceClass, "\\\\?\\USB#VID_04B4&PID_00F", &driver));
  ASSERT_TRUE(
      platform::virt::Plug(usb::kDriverInterfaceClass, "\\\\?\\USB#VID_04B4&PID_00F1", &driver));

  LumoUsbManager manager;
  EXPECT_EQ(manager.DeviceCount(), 1);
  void* id = manager.GetDeviceIDForIndex(3);
  ASSERT_NE(id, NoneValue());
  EXPECT_STREQ(static_cast<const char*>(id), "\\\\?\\usb#vid_04b4&pid_00f1");
  platform::virt::Unplug("\\\\?\\USB#VID_04B4&PID_00F");
  platform::virt::Unplug("\\\\?\\USB#VID_04B4&PID_00F1");
}

TEST(ManagerRegistry, TwoManagersRunTwoPumpsWithTheirOwnClasses) {
  auto camera = EmulatedDevice::Camera("Shared");
  ASSERT_TRUE(camera->Plug());
  const std::size_t before = test::PumpClasses().size();
  LumoUsbManager first;
  LumoUsbManager second;
  ASSERT_TRUE(test::PumpsRegistered(before + 2));
  // Every class name is unique (a set of names), so two more mean two pumps
  // whose thread ids differ.
  EXPECT_EQ(test::PumpClasses().size(), before + 2);
  EXPECT_NE(&StateOf(first), &StateOf(second));
  // Each manager registered the camera in its own registry.
  EXPECT_NE(first.GetDeviceIDForIndex(0), second.GetDeviceIDForIndex(0));
  EXPECT_STREQ(static_cast<const char*>(first.GetDeviceIDForIndex(0)),
               static_cast<const char*>(second.GetDeviceIDForIndex(0)));
}

TEST(ManagerRegistry, AssignmentSharesTheStateAndDestructionKeepsIt) {
  auto camera = EmulatedDevice::Camera("Assign");
  ASSERT_TRUE(camera->Plug());
  auto original = std::make_unique<LumoUsbManager>();
  void* id = original->GetDeviceIDForIndex(0);
  ASSERT_NE(id, NoneValue());

  LumoUsbManager copy;
  copy = *original;
  EXPECT_EQ(&StateOf(copy), &StateOf(*original));
  original.reset();
  // The registry outlives the manager object that built it.
  EXPECT_EQ(copy.DeviceCount(), 1);
  EXPECT_EQ(copy.GetDeviceIDForIndex(0), id);
  EXPECT_STREQ(static_cast<const char*>(id), Lower(camera->Path()).c_str());
}

TEST(ManagerRegistry, EveryCameraHoldsItsRingFromRegistration) {
  auto a = EmulatedDevice::Camera("RingA");
  auto b = EmulatedDevice::Camera("RingB");
  ASSERT_TRUE(a->Plug());
  ASSERT_TRUE(b->Plug());
  LumoUsbManager manager;
  for (const auto& entry : StateOf(manager).cameraByPath) {
    const camera::CameraState& state = entry.second->State();
    EXPECT_NE(state.streamRing.ring, nullptr);
    EXPECT_EQ(state.path, entry.first);
    EXPECT_FALSE(entry.second->IsOpen());
    EXPECT_FALSE(state.usbDevice->HasHandle());
  }
  // Discovery sends nothing to the devices.
  EXPECT_EQ(a->RefusedRequests() + b->RefusedRequests(), 0u);
}

}  // namespace
}  // namespace lumo::manager
