// Per-thread values of the virtual backend: the last error and thread ids.
#include <atomic>

#include "platform/Platform.h"

namespace lumo::platform {

namespace {
thread_local std::uint32_t lastError = 0;
std::atomic<std::uint32_t> nextThreadId{1};
}  // namespace

std::uint32_t LastError() { return lastError; }
void SetLastError(std::uint32_t error) { lastError = error; }

std::uint32_t CurrentThreadId() {
  thread_local const std::uint32_t id = nextThreadId.fetch_add(1);
  return id;
}

}  // namespace lumo::platform
