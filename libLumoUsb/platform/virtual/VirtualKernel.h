// Internal state of the virtual backend shared by its source files: the
// process-wide handle table and the hooks between devices and windows.
#pragma once

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

// Closes a device handle: outstanding requests made on it are cancelled.
void CloseDeviceObject(KernelObject& object);

// Posts a device-change notice to every window registered for the class.
void PostInterfaceNotice(const Guid& interfaceClass, const std::string& path,
                         std::uintptr_t event);

}  // namespace lumo::platform::virt
