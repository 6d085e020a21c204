#include <cstring>

#include "platform/Platform.h"

namespace lumo::platform {

bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

}  // namespace lumo::platform
