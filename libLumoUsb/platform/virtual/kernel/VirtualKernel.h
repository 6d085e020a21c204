// The hosted kernel of the virtual backend: what Windows' kernel and window
// manager provide to a driver and to its callers, kept in-process. It owns
// the process-wide handle table, the events, the windows with their message
// queues, and the publication of finished I/O requests to the threads that
// wait for them. The device bus (../bus/) builds on it: its device and
// enumeration handles are kernel objects, and it hands finished requests to
// the kernel for publication.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Platform.h"
#include "platform/SharedLock.h"

namespace lumo::platform::virt {

// Base of every object that a handle can name. Objects are reference
// counted as kernel objects are: a wait in progress keeps its event alive
// even while another thread closes the handle.
class KernelObject {
 public:
  enum class Kind { Event, Device, InterfaceSet };
  explicit KernelObject(Kind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Handle values are never reused, so a stale handle can never name a newer
// object: it is simply not found (kErrorInvalidHandle).
class HandleTable {
 public:
  static HandleTable& Instance();

  void* Insert(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> Find(const void* handle, KernelObject::Kind kind);
  std::shared_ptr<KernelObject> Remove(const void* handle);

 private:
  // Look-ups, on every I/O and event call, share the lock.
  SharedLock lock_;
  std::uintptr_t nextId_ = 1;
  std::map<std::uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

template <typename T>
std::shared_ptr<T> FindObject(const void* handle, KernelObject::Kind kind) {
  return std::static_pointer_cast<T>(HandleTable::Instance().Find(handle, kind));
}

// ------------------------------------------------------ request completion

// Finished overlapped requests carry their error in OVERLAPPED.Internal
// tagged like an NTSTATUS error, so that no error code can read as pending.
constexpr std::uintptr_t kStatusErrorTag = 0xC0000000u;

// What the issuer of a synchronous request waits on.
struct SyncResult {
  std::mutex mutex;
  std::condition_variable condition;
  bool done = false;
  std::uint32_t error = 0;
  std::uint32_t bytes = 0;
};

// Where the result of one request goes: the synchronous issuer's SyncResult,
// or the caller's OVERLAPPED and the event it named when it issued.
struct CompletionTarget {
  Overlapped* overlapped = nullptr;
  Handle event = nullptr;
  SyncResult* sync = nullptr;
};

// Stores a request's result where its issuer looks for it and wakes it.
void Publish(const CompletionTarget& target, std::uint32_t error, std::uint32_t bytes);

// Publishes the result later, on the kernel's completion thread. Used for
// overlapped requests that finish during their own submission, so that
// callers always meet the asynchronous path.
void PublishLater(const CompletionTarget& target, std::uint32_t error, std::uint32_t bytes);

// --------------------------------------------------- hooks to and from the bus

// Closes a device handle: outstanding requests made on it are cancelled.
// Provided by the bus.
void CloseDeviceObject(KernelObject& object);

// Posts a device-change notice to every window registered for the class.
// Provided by the kernel's window system, called by the bus.
void PostInterfaceNotice(const Guid& interfaceClass, const std::string& path,
                         std::uintptr_t event);

}  // namespace lumo::platform::virt
