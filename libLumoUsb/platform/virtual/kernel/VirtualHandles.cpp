// The virtual kernel's handle table, and CloseHandle for every kind of handle.
#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

namespace {
// Handles look like Windows' ones: multiples of four, never 0 or all bits set.
std::uintptr_t ToKey(const void* handle) { return reinterpret_cast<std::uintptr_t>(handle) >> 2; }
}  // namespace

HandleTable& HandleTable::Instance() {
  static HandleTable* table = new HandleTable;  // lives until the process ends
  return *table;
}

void* HandleTable::Insert(std::shared_ptr<KernelObject> object) {
  ExclusiveGuard guard(lock_);
  const std::uintptr_t id = nextId_++;
  objects_.emplace(id, std::move(object));
  return reinterpret_cast<void*>(id << 2);
}

std::shared_ptr<KernelObject> HandleTable::Find(const void* handle, KernelObject::Kind kind) {
  SharedGuard guard(lock_);
  auto it = objects_.find(ToKey(handle));
  if (it == objects_.end() || it->second->kind() != kind) return nullptr;
  return it->second;
}

std::shared_ptr<KernelObject> HandleTable::Remove(const void* handle) {
  ExclusiveGuard guard(lock_);
  auto it = objects_.find(ToKey(handle));
  if (it == objects_.end()) return nullptr;
  std::shared_ptr<KernelObject> object = std::move(it->second);
  objects_.erase(it);
  return object;
}

bool CloseHandleImpl(Handle handle) {
  std::shared_ptr<KernelObject> object = HandleTable::Instance().Remove(handle);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (object->kind() == KernelObject::Kind::Device) CloseDeviceObject(*object);
  return true;
}

}  // namespace lumo::platform::virt

namespace lumo::platform {

bool CloseHandle(Handle handle) { return virt::CloseHandleImpl(handle); }

}  // namespace lumo::platform
