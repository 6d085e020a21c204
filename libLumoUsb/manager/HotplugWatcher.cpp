#include "manager/HotplugWatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>

#include "Log.h"
#include "manager/ManagerState.h"
#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"

namespace lumo::manager {

namespace {

// The lower-cased device path of a notice when it names a camera. The path
// is read no further than the record's own size says.
std::optional<std::string> CameraPathOf(std::intptr_t lParam) {
  const auto* record = reinterpret_cast<const char*>(lParam);
  if (!record) return std::nullopt;
  constexpr std::size_t kNameOffset = offsetof(platform::DeviceInterfaceNotice, name);
  std::uint32_t size = 0;
  std::memcpy(&size, record, sizeof size);
  if (size <= kNameOffset) return std::nullopt;
  const char* name = record + kNameOffset;
  std::string path = usb::LowerCase(std::string(name, strnlen(name, size - kNameOffset)));
  // A path the registry could never open by is not taken either.
  if (path.size() > usb::kMaxDevicePathLength) return std::nullopt;
  if (!usb::IsCamera(usb::IdentifyInterface(path))) return std::nullopt;
  return path;
}

void* const kNoHandle = reinterpret_cast<void*>(~std::uintptr_t{0});

// Tries of a re-attach that fails while the device is present (a camera
// that enumerates but does not open yet, for instance while it boots) are
// spaced by this, doubling, up to kRetryMaxDelay.
constexpr std::chrono::milliseconds kRetryFirstDelay{50};
constexpr std::chrono::milliseconds kRetryMaxDelay{1000};

bool IsPresent(ManagerState& state, const std::string& path) {
  std::lock_guard<std::mutex> refresh(state.refreshLock);
  return usb::IndexOfDevicePath(path, state.usbDevice->InterfaceGuid(),
                                state.usbDevice->CountDevices()) >= 0;
}

// A camera's path has arrived: an open camera that was away is re-attached
// (and tried again while it is present but does not open), a path without
// a camera gets a new one.
void HandleArrival(ManagerState& state, const std::string& path) {
  bool told = false;
  for (auto delay = kRetryFirstDelay;; delay = std::min(delay * 2, kRetryMaxDelay)) {
    CameraRef camera = CameraAtPath(state, path);
    if (!camera) {
      // Dropped by a removal handled since the notice: registered afresh
      // if it is still present.
      RefreshRegistry(state);
      camera = CameraAtPath(state, path);
      if (!camera) return;
    }
    bool attached = false;
    {
      LogCameraScope scope(camera.get());
      attached = camera->Reattach();
    }
    if (!told) {
      state.deviceChanges.Post(LUMO_DEVICE_ARRIVED, path, camera.get());
      told = true;
    }
    if (attached || !IsPresent(state, path)) return;
    // A newer notice of this camera takes over.
    if (state.hotplugWork.WaitForNewerWork(path, delay)) return;
  }
}

// A camera's path has gone: an open camera is detached and keeps its
// handle; any other is dropped from the registry.
void HandleRemoval(ManagerState& state, const std::string& path) {
  CameraRef camera = CameraAtPath(state, path);
  if (!camera) return;
  {
    LogCameraScope scope(camera.get());
    camera->OnRemoved();
  }
  // An open racing with this either finished first (the camera stays, away)
  // or finds the camera dropped and fails.
  if (!camera->Retire()) {
    state.deviceChanges.Post(LUMO_DEVICE_REMOVED, path, camera.get());
    return;
  }
  {
    platform::ExclusiveGuard guard(state.registryLock);
    auto registered = state.cameraByPath.find(path);
    if (registered != state.cameraByPath.end() && registered->second == camera)
      state.cameraByPath.erase(registered);
  }
  // The path may be back already (its arrival is queued behind this): the
  // registry lists it again, with a new camera.
  RefreshRegistry(state);
  state.deviceChanges.Post(LUMO_DEVICE_REMOVED, path, kNoHandle);
  // The camera object goes with the last call that still holds it.
}

}  // namespace

std::string PumpWindowClassName(std::uint32_t threadId) {
  return "wndClsMsgPumpWnd" + std::to_string(threadId);
}

void RunMessagePump(ManagerState* state) {
  platform::NameCurrentThread("lumo-pump");
  const std::string className = PumpWindowClassName(platform::CurrentThreadId());
  // Neither result is examined: without a window no notice arrives and the
  // registry stays as the constructor left it.
  platform::RegisterWindowClass(className, &HotplugWindowProc, platform::kCsNoClose);
  platform::Window window = platform::CreateMessageWindow(className);
  if (window) platform::SetWindowUserData(window, reinterpret_cast<std::intptr_t>(state));

  // Registers the window for notices of the driver's class. Kept for the
  // life of the thread; the registration is never withdrawn.
  const auto notifications =
      std::make_unique<usb::CLumoUSBDevice>(window, usb::kDriverInterfaceClass);
  // The constructor waits for this, whether the window and its registration
  // succeeded or not.
  state->MarkPumpReady();

  platform::Message message;
  for (;;) {
    const int result = platform::ReceiveMessage(&message, state->pumpWindowFilter);
    if (result > 0) {
      platform::TranslateWindowMessage(message);
      platform::DispatchWindowMessage(message);
    } else if (result < 0 || !state->pumpRunning.load()) {
      // A quit message does not end the loop while pumpRunning is set.
      break;
    }
  }
}

std::intptr_t LUMO_WINAPI HotplugWindowProc(platform::Window window, std::uint32_t message,
                                            std::uintptr_t wParam, std::intptr_t lParam) {
  auto* state = reinterpret_cast<ManagerState*>(platform::WindowUserData(window));
  if (state && message == platform::kWmDeviceChange &&
      (wParam == platform::kDbtDeviceArrival || wParam == platform::kDbtDeviceRemoveComplete)) {
    if (const auto path = CameraPathOf(lParam)) {
      // The list of cameras present is right at once; the camera's own
      // work (re-attach, removal) runs on its hot-plug worker, so that the
      // pump goes on with the next notice however slow that camera is.
      RefreshRegistry(*state);
      const bool arrived = wParam == platform::kDbtDeviceArrival;
      state->hotplugWork.Post(*path, [state, path = *path, arrived] {
        if (arrived) {
          HandleArrival(*state, path);
        } else {
          HandleRemoval(*state, path);
        }
      });
    }
  }
  return platform::DefaultWindowProc(window, message, wParam, lParam);
}

}  // namespace lumo::manager
