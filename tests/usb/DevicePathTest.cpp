// What a device interface path tells about its device, and which devices
// are cameras.
#include <gtest/gtest.h>

#include "usb/DevicePath.h"

namespace lumo::usb {
namespace {

TEST(InterfaceIdentity, CameraPathsAreCamerasInEitherCaseWhateverFollowsTheIds) {
  for (const char* path :
       {"\\\\?\\usb#vid_04b4&pid_00f1#sn1#{ae18aa60-7f6a-11d4-97dd-00010229b959}",
        "\\\\?\\USB#VID_04B4&PID_00F1#SN2", "\\\\?\\usb#vid_04b4&pid_00f1",
        "\\\\?\\usb#vid_04b4&pid_00f1x"}) {
    const InterfaceIdentity identity = IdentifyInterface(path);
    EXPECT_EQ(identity.path, path);
    EXPECT_EQ(identity.vendorId, std::optional<std::uint16_t>(0x04B4)) << path;
    EXPECT_EQ(identity.productId, std::optional<std::uint16_t>(0x00F1)) << path;
    EXPECT_TRUE(IsCamera(identity)) << path;
  }
}

TEST(InterfaceIdentity, OtherUsbDevicesKeepTheirIdsAndAreNotCameras) {
  const InterfaceIdentity other = IdentifyInterface("\\\\?\\usb#vid_1a2B&pid_C3d4#x");
  EXPECT_EQ(other.vendorId, std::optional<std::uint16_t>(0x1A2B));
  EXPECT_EQ(other.productId, std::optional<std::uint16_t>(0xC3D4));
  EXPECT_FALSE(IsCamera(other));
  EXPECT_FALSE(IsCamera(IdentifyInterface("\\\\?\\usb#vid_04b5&pid_00f1#x")));
  EXPECT_FALSE(IsCamera(IdentifyInterface("\\\\?\\usb#vid_04b4&pid_00f2#x")));
}

TEST(InterfaceIdentity, PathsWithoutBothIdsGiveNone) {
  for (const char* path : {"", "\\\\?\\usb#vid_04b4&pid_00f", "\\\\?\\usb#vid_04g4&pid_00f1#x",
                           "\\\\?\\usb#vid_04b4&pid_+0f1#x", "\\\\?\\hid#vid_04b4&pid_00f1#x",
                           "\\\\?\\usb#vid_04b4#pid_00f1#x", "/dev/bus/usb/001/002"}) {
    const InterfaceIdentity identity = IdentifyInterface(path);
    EXPECT_FALSE(identity.vendorId.has_value()) << path;
    EXPECT_FALSE(identity.productId.has_value()) << path;
    EXPECT_FALSE(IsCamera(identity)) << path;
  }
}

TEST(InterfaceIdentity, IdsKnownFromElsewhereDecideWhateverThePath) {
  EXPECT_TRUE(IsCamera(InterfaceIdentity{"/dev/bus/usb/001/002", 0x04B4, 0x00F1}));
  EXPECT_FALSE(IsCamera(InterfaceIdentity{"\\\\?\\usb#vid_04b4&pid_00f1", 0x04B4, std::nullopt}));
}

}  // namespace
}  // namespace lumo::usb
