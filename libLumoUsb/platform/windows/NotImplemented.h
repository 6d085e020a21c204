// The failure of a call that the Windows backend does not serve yet: the
// calling thread's last error becomes kErrorCallNotImplemented and the
// caller gets the failure value of the call.
#pragma once

#include "platform/Platform.h"

namespace lumo::platform::win32 {

template <typename Result>
Result NotImplemented(Result failure) {
  SetLastError(kErrorCallNotImplemented);
  return failure;
}

inline void NotImplemented() { SetLastError(kErrorCallNotImplemented); }

}  // namespace lumo::platform::win32
