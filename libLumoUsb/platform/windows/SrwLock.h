// Shared/exclusive lock over a Windows SRWLOCK. The lock word is kept here as
// a pointer-sized value (an SRWLOCK is one pointer, zero when unlocked) so
// that <windows.h> stays inside SrwLock.cpp.
#pragma once

namespace lumo::platform {

class SrwLock {
 public:
  SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;
  void LockShared();
  void UnlockShared();
  void LockExclusive();
  void UnlockExclusive();

 private:
  void* lock_ = nullptr;
};

}  // namespace lumo::platform
