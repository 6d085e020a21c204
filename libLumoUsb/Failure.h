// Why a call failed. The layers below the manager keep their boolean
// results and record, at the point where a call fails, what went wrong in a
// per-thread slot (like an OS's last-error value); the manager takes it
// when one of its calls fails and keeps it as the camera's last error and
// the calling thread's last failure (lumo/LumoError.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "lumo/LumoError.h"

namespace lumo {

struct Failure {
  std::int32_t kind = LUMO_ERROR_NONE;
  std::uint32_t osError = 0;
};

// Records `kind` (and the OS error code) as the reason the call running on
// this thread fails; returns false, so that a failing path can end with
// `return Fail(...)`. A later Fail of the same call replaces it.
bool Fail(std::int32_t kind, std::uint32_t osError = 0);
inline bool Fail(const Failure& failure) { return Fail(failure.kind, failure.osError); }
// The reason recorded since the last TakeFailure on this thread, and clears
// it (kind LUMO_ERROR_NONE when nothing was recorded).
Failure TakeFailure();

// The last failure of a library call on this thread; kept until the next.
void NoteThreadFailure(Failure failure);
Failure ThreadFailure();

// A failure that several threads store and read without a lock: kind and
// code in one word.
class FailureCell {
 public:
  void Store(Failure failure) {
    word_.store(static_cast<std::uint64_t>(static_cast<std::uint32_t>(failure.kind)) << 32 |
                    failure.osError,
                std::memory_order_relaxed);
  }
  Failure Load() const {
    const std::uint64_t word = word_.load(std::memory_order_relaxed);
    return Failure{static_cast<std::int32_t>(word >> 32), static_cast<std::uint32_t>(word)};
  }

 private:
  std::atomic<std::uint64_t> word_{0};
};

}  // namespace lumo
