// The registry's shared/exclusive lock. On Windows it is an SRWLOCK: the
// mingw-w64 std::shared_mutex is a lazily initialised rwlock that loses
// updates when several threads take it for the first time at once.
#pragma once

#ifdef _WIN32
#include "platform/windows/SrwLock.h"
#else
#include <shared_mutex>
#endif

namespace lumo::platform {

#ifdef _WIN32
using SharedLock = SrwLock;
#else
class SharedLock {
 public:
  void LockShared() { mutex_.lock_shared(); }
  void UnlockShared() { mutex_.unlock_shared(); }
  void LockExclusive() { mutex_.lock(); }
  void UnlockExclusive() { mutex_.unlock(); }

 private:
  std::shared_mutex mutex_;
};
#endif

// Scoped holders, for SharedLock and WriterFirstLock (WriterFirstLock.h).
template <typename Lock>
class SharedGuard {
 public:
  explicit SharedGuard(Lock& lock) : lock_(lock) { lock_.LockShared(); }
  ~SharedGuard() { lock_.UnlockShared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  Lock& lock_;
};

template <typename Lock>
class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(Lock& lock) : lock_(lock) { lock_.LockExclusive(); }
  ~ExclusiveGuard() { lock_.UnlockExclusive(); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace lumo::platform
