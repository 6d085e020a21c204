// Enumeration and opening of device interfaces on the virtual backend.
#include <gtest/gtest.h>

#include "platform/ScriptedDriver.h"

namespace lumo::platform {
namespace {

using test::kOtherClass;
using test::kTestClass;
using test::ScriptedDriver;

std::vector<std::string> ListPaths(const Guid& interfaceClass) {
  std::vector<std::string> paths;
  InterfaceSet set = OpenInterfaceSet(interfaceClass);
  EXPECT_NE(set, InvalidInterfaceSet());
  std::string path;
  std::uint32_t index = 0;
  while (InterfacePathAt(set, interfaceClass, index++, &path)) paths.push_back(path);
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
  CloseInterfaceSet(set);
  return paths;
}

TEST(VirtualEnumeration, ListsInterfacesOfOneClassInPlugOrder) {
  ScriptedDriver a, b, c;
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\Dev#B", &b));
  ASSERT_TRUE(virt::Plug(kOtherClass, "\\\\?\\Dev#Other", &c));
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\Dev#A", &a));

  EXPECT_EQ(ListPaths(kTestClass), (std::vector<std::string>{"\\\\?\\Dev#B", "\\\\?\\Dev#A"}));
  EXPECT_EQ(ListPaths(kOtherClass), std::vector<std::string>{"\\\\?\\Dev#Other"});

  ASSERT_TRUE(virt::Unplug("\\\\?\\Dev#B"));
  EXPECT_EQ(ListPaths(kTestClass), std::vector<std::string>{"\\\\?\\Dev#A"});
  virt::Unplug("\\\\?\\Dev#A");
  virt::Unplug("\\\\?\\Dev#Other");
  EXPECT_TRUE(ListPaths(kTestClass).empty());
}

TEST(VirtualEnumeration, SetIsASnapshotAndEndsWithNoMoreItems) {
  ScriptedDriver a, b;
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\Dev#A", &a));
  InterfaceSet set = OpenInterfaceSet(kTestClass);
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\Dev#B", &b));

  std::string path;
  EXPECT_TRUE(InterfacePathAt(set, kTestClass, 0, &path));
  EXPECT_FALSE(InterfacePathAt(set, kTestClass, 1, &path));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
  // Asking with another class than the set's finds nothing.
  EXPECT_FALSE(InterfacePathAt(set, kOtherClass, 0, &path));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
  CloseInterfaceSet(set);

  // A closed set is no longer a valid handle.
  EXPECT_FALSE(InterfacePathAt(set, kTestClass, 0, &path));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
  virt::Unplug("\\\\?\\Dev#A");
  virt::Unplug("\\\\?\\Dev#B");
}

TEST(VirtualEnumeration, PathsAreUniqueIgnoringCaseAndOpenIgnoringCase) {
  ScriptedDriver a, b;
  ASSERT_TRUE(virt::Plug(kTestClass, "\\\\?\\USB#Dev#A", &a));
  EXPECT_FALSE(virt::Plug(kTestClass, "\\\\?\\usb#dev#a", &b));

  Handle handle = OpenDevicePath("\\\\?\\usb#DEV#a");
  ASSERT_NE(handle, InvalidHandle());
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);

  EXPECT_EQ(OpenDevicePath("\\\\?\\usb#dev#missing"), InvalidHandle());
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  EXPECT_TRUE(virt::Unplug("\\\\?\\USB#Dev#A"));
  EXPECT_FALSE(virt::Unplug("\\\\?\\USB#Dev#A"));
  EXPECT_EQ(OpenDevicePath("\\\\?\\USB#Dev#A"), InvalidHandle());
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

}  // namespace
}  // namespace lumo::platform
