// ManagerState: the camera registry behind LumoUsbManager. Created by the
// manager's constructor and kept until the process ends; the hot-plug pump
// thread holds its address for that long.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "camera/CameraDevice.h"
#include "platform/SharedLock.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::manager {

// A device path belongs to a camera when it begins with this prefix.
constexpr char kCameraPathPrefix[] = "\\\\?\\usb#vid_04b4&pid_00f1";
constexpr std::size_t kCameraPathPrefixLength = sizeof(kCameraPathPrefix) - 1;
static_assert(kCameraPathPrefixLength == 25, "camera path prefix");

// True when the first 25 characters of the lower-cased path equal the
// camera path prefix.
bool IsCameraPath(const std::string& lowerCasePath);

struct ManagerState {
  // Used only to count and enumerate the driver's devices; never opened.
  std::unique_ptr<usb::CLumoUSBDevice> usbDevice;
  // Window filter of the pump loop: null, so the loop serves every window of
  // the pump thread.
  platform::Window pumpWindowFilter = nullptr;
  std::thread pumpThread;  // never joined or detached
  std::atomic<bool> pumpRunning{true};
  platform::SharedLock registryLock;  // guards both maps and the camera objects
  // Enumeration index at registration -> lower-case device path. Device IDs
  // point at these strings.
  std::map<std::int32_t, std::string> pathByIndex;
  // Lower-case device path -> camera object.
  std::map<std::string, std::unique_ptr<camera::CameraDevice>> cameraByPath;
};

}  // namespace lumo::manager
