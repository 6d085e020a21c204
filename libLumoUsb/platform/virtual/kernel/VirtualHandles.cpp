// The virtual kernel's handle table, and CloseHandle for every kind of handle.
#include <thread>

#include "platform/virtual/VirtualBus.h"
#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

namespace {

constexpr std::uint64_t kPinMask = 0xFFFF;
constexpr std::uint64_t kLive = std::uint64_t{1} << 16;
constexpr unsigned kGenerationShift = 17;
constexpr std::uint32_t kIndexMask = (1u << HandleTable::kIndexBits) - 1;
// The last index would let a handle have all bits set, InvalidHandle().
constexpr std::uint32_t kMaxSlots = kIndexMask;
// Handles look like Windows' ones: multiples of four, never 0 or all bits
// set. What is left of the handle's bits above the index is the generation.
constexpr std::uint64_t kMaxGeneration = (~std::uintptr_t{0} >> 2) >> HandleTable::kIndexBits;

std::uint64_t GenerationOf(std::uint64_t state) { return state >> kGenerationShift; }

}  // namespace

HandleTable& HandleTable::Instance() {
  static HandleTable* table = new HandleTable;  // lives until the process ends
  return *table;
}

HandleTable::Slot* HandleTable::SlotAt(std::uint32_t index) const {
  Slot* segment = segments_[index / kSegmentSize].load(std::memory_order_acquire);
  return segment ? segment + index % kSegmentSize : nullptr;
}

void* HandleTable::Insert(Ref<KernelObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t index = 0;
  if (freeHead_ != 0) {
    index = freeHead_ - 1;
    freeHead_ = SlotAt(index)->nextFree;
  } else {
    if (used_ == kMaxSlots) return nullptr;
    index = used_++;
    const std::uint32_t segment = index / kSegmentSize;
    if (!owned_[segment]) {
      owned_[segment] = std::make_unique<Slot[]>(kSegmentSize);
      segments_[segment].store(owned_[segment].get(), std::memory_order_release);
    }
  }
  Slot& slot = *SlotAt(index);
  const std::uint64_t generation = GenerationOf(slot.state.load(std::memory_order_relaxed)) + 1;
  slot.object = object.Detach();
  slot.state.store((generation << kGenerationShift) | kLive, std::memory_order_release);
  ++live_;
  const std::uintptr_t key = (static_cast<std::uintptr_t>(generation) << kIndexBits) | index;
  return reinterpret_cast<void*>(key << 2);
}

HandleTable::Slot* HandleTable::Pin(const void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value & 3) return nullptr;
  const std::uintptr_t key = value >> 2;
  const auto index = static_cast<std::uint32_t>(key & kIndexMask);
  const std::uint64_t generation = key >> kIndexBits;
  Slot* slot = SlotAt(index);
  if (!slot) return nullptr;
  std::uint64_t state = slot->state.load(std::memory_order_relaxed);
  for (;;) {
    if (!(state & kLive) || GenerationOf(state) != generation) return nullptr;
    if ((state & kPinMask) == kPinMask) {  // never in practice: 65535 look-ups at once
      std::this_thread::yield();
      state = slot->state.load(std::memory_order_relaxed);
      continue;
    }
    if (slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed))
      return slot;
  }
}

Ref<KernelObject> HandleTable::Find(const void* handle, KernelObject::Kind kind) {
  Ref<KernelObject> found;
  Visit(handle, kind, [&](KernelObject& object) {
    object.AddRef();
    found = Ref<KernelObject>::Adopt(&object);
  });
  return found;
}

Ref<KernelObject> HandleTable::Remove(const void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value & 3) return {};
  const std::uintptr_t key = value >> 2;
  const auto index = static_cast<std::uint32_t>(key & kIndexMask);
  const std::uint64_t generation = key >> kIndexBits;
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* slot = SlotAt(index);
  if (!slot) return {};
  // Only Remove clears kLive, and it holds mutex_: the state can only
  // change under us by look-ups pinning and unpinning.
  std::uint64_t state = slot->state.load(std::memory_order_relaxed);
  do {
    if (!(state & kLive) || GenerationOf(state) != generation) return {};
  } while (!slot->state.compare_exchange_weak(state, state & ~kLive, std::memory_order_relaxed,
                                              std::memory_order_relaxed));
  // Look-ups that pinned the slot before hold it for a few instructions.
  while (slot->state.load(std::memory_order_acquire) & kPinMask) std::this_thread::yield();
  KernelObject* object = std::exchange(slot->object, nullptr);
  --live_;
  if (generation < kMaxGeneration) {
    slot->nextFree = freeHead_;
    freeHead_ = index + 1;
  }
  return Ref<KernelObject>::Adopt(object);
}

std::size_t HandleTable::LiveCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

std::size_t OpenHandleCount() { return HandleTable::Instance().LiveCount(); }

bool CloseHandleImpl(Handle handle) {
  Ref<KernelObject> object = HandleTable::Instance().Remove(handle);
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
