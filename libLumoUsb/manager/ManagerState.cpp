#include "manager/ManagerState.h"

namespace lumo::manager {

bool IsCameraPath(const std::string& lowerCasePath) {
  return lowerCasePath.size() >= kCameraPathPrefixLength &&
         lowerCasePath.compare(0, kCameraPathPrefixLength, kCameraPathPrefix) == 0;
}

}  // namespace lumo::manager
