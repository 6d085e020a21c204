// Sole ownership of an OS handle (an event or a driver handle): closed when
// its owner goes away.
#pragma once

#include <memory>

#include "platform/Platform.h"

namespace lumo::platform {

struct HandleCloser {
  void operator()(HandleTag* handle) const {
    if (handle && handle != InvalidHandle()) CloseHandle(handle);
  }
};

using UniqueHandle = std::unique_ptr<HandleTag, HandleCloser>;

}  // namespace lumo::platform
