#include "manager/ManagerState.h"

#include <utility>
#include <vector>

#include "usb/DevicePath.h"

namespace lumo::manager {

CameraRef FindCamera(const ManagerState& state, const void* handle) {
  if (!handle) return nullptr;
  for (const auto& entry : state.cameraByPath)
    if (static_cast<const void*>(entry.second.get()) == handle) return entry.second;
  return nullptr;
}

CameraRef CameraFor(ManagerState& state, const void* handle) {
  platform::SharedGuard guard(state.registryLock);
  return FindCamera(state, handle);
}

CameraRef CameraAtPath(ManagerState& state, const std::string& path) {
  platform::SharedGuard guard(state.registryLock);
  auto found = state.cameraByPath.find(path);
  return found == state.cameraByPath.end() ? nullptr : found->second;
}

void RefreshRegistry(ManagerState& state) {
  std::lock_guard<std::mutex> refresh(state.refreshLock);
  // Enumeration indexes are positions in the driver's list: they shift
  // when any device leaves or arrives, so the whole map is built anew.
  std::map<std::int32_t, std::string> present;
  if (state.usbDevice) {
    const int count = state.usbDevice->CountDevices();
    for (int index = 0; index < count; ++index) {
      std::string path = usb::DevicePathAt(index, state.usbDevice->InterfaceGuid());
      if (usb::IsCamera(usb::IdentifyInterface(path))) present[index] = std::move(path);
    }
  }
  std::vector<std::pair<std::string, CameraRef>> added;
  {
    platform::SharedGuard guard(state.registryLock);
    for (const auto& entry : present)
      if (!state.cameraByPath.count(entry.second)) added.emplace_back(entry.second, nullptr);
  }
  // Only refreshes add cameras, and they take turns: nothing registers
  // these paths meanwhile.
  for (auto& camera : added) camera.second = std::make_shared<camera::CameraDevice>(camera.first);
  platform::ExclusiveGuard guard(state.registryLock);
  state.pathByIndex.swap(present);
  for (const auto& entry : state.pathByIndex) state.deviceIds.insert(entry.second);
  for (auto& camera : added) {
    CameraRef& slot = state.cameraByPath[camera.first];
    if (!slot) slot = std::move(camera.second);
  }
}

}  // namespace lumo::manager
