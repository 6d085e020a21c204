#include "manager/ManagerState.h"

namespace lumo::manager {

camera::CameraDevice* FindCamera(const ManagerState& state, const void* handle) {
  if (!handle) return nullptr;
  for (const auto& entry : state.cameraByPath)
    if (static_cast<const void*>(entry.second.get()) == handle) return entry.second.get();
  return nullptr;
}

}  // namespace lumo::manager
