#include "manager/ManagerState.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "usb/DevicePath.h"

namespace lumo::manager {

namespace {

// Camera handles are the cameras' addresses, and callers may keep a handle
// after its camera was dropped. Were the memory of a dropped camera given
// back, a camera made later could get the same address, and the old handle
// would name it: a caller of one camera would be served by another. So a
// camera's object is destroyed when its last owner lets go, but its few
// bytes are kept, never to be reused; the camera's state (ring, pool,
// device) is freed as usual.
struct CameraGraveyard {
  std::mutex lock;
  std::vector<void*> addresses;
};

CameraGraveyard& Graveyard() {
  static CameraGraveyard* const graveyard = new CameraGraveyard;  // lives until the process ends
  return *graveyard;
}

CameraRef MakeCamera(const std::string& path) {
  void* memory = ::operator new(sizeof(camera::CameraDevice));
  camera::CameraDevice* made = nullptr;
  try {
    made = new (memory) camera::CameraDevice(path);
  } catch (...) {
    ::operator delete(memory);
    throw;
  }
  return CameraRef(made, [](camera::CameraDevice* camera) {
    camera->~CameraDevice();
    CameraGraveyard& graveyard = Graveyard();
    std::lock_guard<std::mutex> guard(graveyard.lock);
    graveyard.addresses.push_back(camera);
  });
}

}  // namespace

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
  for (auto& camera : added) camera.second = MakeCamera(camera.first);
  platform::ExclusiveGuard guard(state.registryLock);
  state.pathByIndex.swap(present);
  for (const auto& entry : state.pathByIndex) state.deviceIds.insert(entry.second);
  for (auto& camera : added) {
    CameraRef& slot = state.cameraByPath[camera.first];
    if (!slot) slot = std::move(camera.second);
  }
}

}  // namespace lumo::manager
