// Construction and destruction of camera objects.
#include <gtest/gtest.h>

#include "camera/CameraDevice.h"
#include "platform/virtual/VirtualBus.h"

namespace lumo::camera {
namespace {

const char kPathA[] = "\\\\?\\usb#vid_04b4&pid_00f1#a#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
const char kPathB[] = "\\\\?\\usb#vid_04b4&pid_00f1#b#{ae18aa60-7f6a-11d4-97dd-00010229b959}";

TEST(CameraDevice, ConstructionOpensNothingAndSetsInitialValues) {
  CameraDevice camera(kPathA);
  const CameraState& state = camera.State();
  EXPECT_FALSE(camera.IsOpen());
  EXPECT_EQ(camera.Lifecycle(), Phase::kClosed);
  EXPECT_FALSE(camera.IsRemoved());
  EXPECT_FALSE(state.acqRunning);
  EXPECT_FALSE(state.channel.responseReaderRunning);
  EXPECT_EQ(state.bufferCount, 10);
  EXPECT_EQ(state.pixelSize, 2);
  EXPECT_EQ(state.channel.rxState, command::kReceiveIdle);
  EXPECT_EQ(state.path, kPathA);
  EXPECT_EQ(state.streamRing.ringWritePos, 0u);
  EXPECT_EQ(state.streamRing.ringReadPos, 0u);
  EXPECT_FALSE(state.imageReaderThread.joinable());
  EXPECT_FALSE(state.frameThread.joinable());
  EXPECT_FALSE(state.channel.responseReaderThread.joinable());
  EXPECT_TRUE(state.frames.readyFrames.empty());
  EXPECT_TRUE(state.frames.freeFrames.empty());
  for (std::uint8_t byte : state.channel.rxBody) ASSERT_EQ(byte, 0);
  ASSERT_NE(state.usbDevice, nullptr);
  EXPECT_FALSE(state.usbDevice->HasHandle());
  EXPECT_FALSE(state.usbDevice->HasInterfaceNotification());
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

TEST(CameraDevice, RingAndEventExistFromConstruction) {
  CameraDevice camera(kPathA);
  CameraState& state = camera.State();
  ASSERT_NE(state.streamRing.ring, nullptr);
  // The whole ring is writable.
  state.streamRing.ring[0] = 1;
  state.streamRing.ring[kStreamRingSize - 1] = 2;
  EXPECT_EQ(state.streamRing.ring[kStreamRingSize - 1], 2);
  // The data event is auto-reset and starts unsignalled.
  ASSERT_NE(state.streamRing.dataEvent, nullptr);
  EXPECT_EQ(platform::WaitForEvent(state.streamRing.dataEvent.get(), 0), platform::kWaitTimeout);
  platform::SetEventObject(state.streamRing.dataEvent.get());
  EXPECT_EQ(platform::WaitForEvent(state.streamRing.dataEvent.get(), 0), platform::kWaitObject0);
  EXPECT_EQ(platform::WaitForEvent(state.streamRing.dataEvent.get(), 0), platform::kWaitTimeout);
}

TEST(CameraDevice, TwoCamerasShareNothing) {
  CameraDevice a(kPathA);
  CameraDevice b(kPathB);
  EXPECT_NE(&a.State(), &b.State());
  EXPECT_NE(a.State().streamRing.ring.get(), b.State().streamRing.ring.get());
  EXPECT_NE(a.State().streamRing.dataEvent.get(), b.State().streamRing.dataEvent.get());
  EXPECT_NE(a.State().usbDevice.get(), b.State().usbDevice.get());
  platform::SetEventObject(a.State().streamRing.dataEvent.get());
  EXPECT_EQ(platform::WaitForEvent(b.State().streamRing.dataEvent.get(), 0),
            platform::kWaitTimeout);
  EXPECT_EQ(b.State().path, kPathB);
}

TEST(CameraDevice, DestroyedCameraReleasesItsEvent) {
  platform::Handle event;
  {
    auto camera = std::make_unique<CameraDevice>(kPathA);
    event = camera->State().streamRing.dataEvent.get();
    EXPECT_EQ(platform::WaitForEvent(event, 0), platform::kWaitTimeout);
  }
  EXPECT_EQ(platform::WaitForEvent(event, 0), platform::kWaitFailed);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

}  // namespace
}  // namespace lumo::camera
