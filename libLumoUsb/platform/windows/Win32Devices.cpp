// Device-interface enumeration and driver access of the Windows backend.
// Not served yet: every call fails cleanly with kErrorCallNotImplemented and
// the call's failure value, so the library finds no device.
#include "platform/Platform.h"
#include "platform/windows/NotImplemented.h"

namespace lumo::platform {

using win32::NotImplemented;

InterfaceSet OpenInterfaceSet(const Guid&) { return NotImplemented(InvalidInterfaceSet()); }

bool InterfacePathAt(InterfaceSet, const Guid&, std::uint32_t, std::string*) {
  return NotImplemented(false);
}

void CloseInterfaceSet(InterfaceSet) { NotImplemented(); }

Handle OpenDevicePath(const std::string&) { return NotImplemented(InvalidHandle()); }

bool IoControl(Handle, std::uint32_t, void*, std::uint32_t, void*, std::uint32_t, std::uint32_t*,
               Overlapped*) {
  return NotImplemented(false);
}

bool OverlappedResult(Handle, Overlapped*, std::uint32_t*, bool) { return NotImplemented(false); }

}  // namespace lumo::platform
