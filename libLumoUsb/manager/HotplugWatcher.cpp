#include "manager/HotplugWatcher.h"

#include <cstring>
#include <memory>
#include <optional>

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

// The path's index among the present devices of the driver, or -1.
int PresentIndex(ManagerState& state, const std::string& path) {
  return usb::IndexOfDevicePath(path, state.usbDevice->InterfaceGuid(),
                                state.usbDevice->CountDevices());
}

// The first pathByIndex entry, in key order, that holds `path`.
std::map<std::int32_t, std::string>::iterator FindIndexEntry(ManagerState& state,
                                                             const std::string& path) {
  auto it = state.pathByIndex.begin();
  while (it != state.pathByIndex.end() && it->second != path) ++it;
  return it;
}

void* const kNoHandle = reinterpret_cast<void*>(~std::uintptr_t{0});

// Both handlings return the handle the application's callback receives.
void* HandleArrival(ManagerState& state, const std::string& path) {
  platform::ExclusiveGuard guard(state.registryLock);
  const int index = PresentIndex(state, path);
  state.deviceIds.insert(path);
  auto camera = state.cameraByPath.find(path);
  if (camera != state.cameraByPath.end()) {
    // Still registered: an open camera stays through its removal.
    auto entry = FindIndexEntry(state, path);
    if (entry == state.pathByIndex.end() || entry->first != index) {
      if (entry != state.pathByIndex.end()) state.pathByIndex.erase(entry);
      state.pathByIndex[index] = path;
    }
    camera->second->Reattach();
    return camera->second.get();
  }
  state.pathByIndex[index] = path;
  auto& added = state.cameraByPath[path];
  added = std::make_unique<camera::CameraDevice>(path);
  return added.get();
}

// Null when the path names no registered camera: nothing changed.
void* HandleRemoval(ManagerState& state, const std::string& path) {
  {
    // Calls hold the registry shared for their whole run, a frame wait too:
    // end the camera's waiting calls first, so that the exclusive lock
    // below is not held up for as long as their time limits.
    platform::SharedGuard guard(state.registryLock);
    auto camera = state.cameraByPath.find(path);
    if (camera == state.cameraByPath.end()) return nullptr;
    camera->second->BeginRemoval();
  }
  std::unique_ptr<camera::CameraDevice> dropped;
  {
    platform::ExclusiveGuard guard(state.registryLock);
    auto camera = state.cameraByPath.find(path);
    if (camera == state.cameraByPath.end()) return nullptr;
    camera->second->OnRemoved();
    if (camera->second->IsOpen()) return camera->second.get();  // detached, keeps its handle
    dropped = std::move(camera->second);
    state.cameraByPath.erase(camera);
    auto entry = FindIndexEntry(state, path);
    if (entry != state.pathByIndex.end()) state.pathByIndex.erase(entry);
  }
  // Destroyed outside the lock; none of its threads runs any more.
  return kNoHandle;
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
      // The registry is released again: the application hears of the
      // change from the dispatcher's thread.
      if (wParam == platform::kDbtDeviceArrival) {
        state->deviceChanges.Post(LUMO_DEVICE_ARRIVED, *path, HandleArrival(*state, *path));
      } else if (void* handle = HandleRemoval(*state, *path)) {
        state->deviceChanges.Post(LUMO_DEVICE_REMOVED, *path, handle);
      }
    }
  }
  return platform::DefaultWindowProc(window, message, wParam, lParam);
}

}  // namespace lumo::manager
