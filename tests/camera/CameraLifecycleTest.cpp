// Opening and closing a camera object against emulated cameras.
#include <gtest/gtest.h>

#include <vector>

#include "camera/CameraDevice.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/virtual/VirtualBus.h"
#include "usb/DevicePath.h"

namespace lumo::camera {
namespace {

using emulator::EmulatedDevice;

class CameraLifecycle : public ::testing::Test {
 protected:
  std::unique_ptr<EmulatedDevice> other = EmulatedDevice::OtherDevice("FIRST");
  std::unique_ptr<EmulatedDevice> device = EmulatedDevice::Camera("LIFE1");
  CameraDevice camera{usb::LowerCase(device->Path())};
};

TEST_F(CameraLifecycle, OpenFindsThePresentIndexAndStartsTheReaderOnce) {
  EXPECT_FALSE(camera.Open());  // not plugged in yet
  EXPECT_FALSE(camera.IsOpen());
  ASSERT_TRUE(other->Plug());
  ASSERT_TRUE(device->Plug());
  ASSERT_TRUE(camera.Open());
  CameraState& state = camera.State();
  EXPECT_TRUE(camera.IsOpen());
  EXPECT_EQ(state.usbDevice->DeviceIndex, 1);  // behind the other device
  EXPECT_TRUE(state.channel.responseReaderRunning);
  ASSERT_NE(state.channel.responseEndpoint, nullptr);
  ASSERT_NE(state.channel.commandEndpoint, nullptr);
  EXPECT_EQ(state.channel.commandEndpoint->PacketSize, 512);
  const auto readerId = state.channel.responseReaderThread.get_id();
  EXPECT_TRUE(camera.Open());  // already open: nothing new
  EXPECT_EQ(state.channel.responseReaderThread.get_id(), readerId);
  // Opening sends nothing to the camera's command channel.
  EXPECT_TRUE(device->Firmware().HostFrames().empty());

  EXPECT_TRUE(camera.Close());
  EXPECT_FALSE(camera.IsOpen());
  EXPECT_FALSE(state.channel.responseReaderRunning);
  EXPECT_EQ(state.channel.responseEndpoint, nullptr);
  EXPECT_EQ(state.channel.commandEndpoint, nullptr);
  EXPECT_FALSE(state.usbDevice->HasHandle());
  EXPECT_TRUE(camera.Close());
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

TEST_F(CameraLifecycle, OpenAfterARecordedRemovalClearsIt) {
  ASSERT_TRUE(device->Plug());
  // A camera closed while detached keeps `removed`; opening it again once
  // the device is back must clear it, or the command channel stays refused.
  camera.BeginRemoval();
  ASSERT_EQ(camera.Lifecycle(), Phase::kClosedAway);
  ASSERT_TRUE(camera.Open());
  EXPECT_EQ(camera.Lifecycle(), Phase::kOpen);
  EXPECT_FALSE(camera.IsRemoved());
  std::uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_TRUE(camera.WriteRegister(0x10, data, 4, 1000));
}

TEST_F(CameraLifecycle, DeviceWithoutUsableConfigurationIsNotOpenedAndKeepsNoHandle) {
  emulator::DescriptorSet set = emulator::CameraDescriptors("LIFE1");
  set.configurations.clear();
  device->SetDescriptors(set);
  ASSERT_TRUE(device->Plug());
  EXPECT_FALSE(camera.Open());
  EXPECT_FALSE(camera.IsOpen());
  EXPECT_FALSE(camera.State().usbDevice->HasHandle());
  EXPECT_FALSE(camera.State().channel.responseReaderRunning);
}

TEST_F(CameraLifecycle, DestroyingAnOpenCameraClosesIt) {
  ASSERT_TRUE(device->Plug());
  auto owned = std::make_unique<CameraDevice>(usb::LowerCase(device->Path()));
  ASSERT_TRUE(owned->Open());
  owned.reset();
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

}  // namespace
}  // namespace lumo::camera
