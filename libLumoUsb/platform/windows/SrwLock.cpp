#include "platform/windows/SrwLock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace lumo::platform {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "SRWLOCK is one pointer");

void SrwLock::LockShared() { AcquireSRWLockShared(reinterpret_cast<PSRWLOCK>(&lock_)); }
void SrwLock::UnlockShared() { ReleaseSRWLockShared(reinterpret_cast<PSRWLOCK>(&lock_)); }
void SrwLock::LockExclusive() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }
void SrwLock::UnlockExclusive() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&lock_)); }

}  // namespace lumo::platform
