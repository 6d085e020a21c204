// The hosted kernel of the virtual backend: what Windows' kernel and window
// manager provide to a driver and to its callers, kept in-process. It owns
// the process-wide handle table, the events, the windows with their message
// queues, and the publication of finished I/O requests to the threads that
// wait for them. The device bus (../bus/) builds on it: its device and
// enumeration handles are kernel objects, and it hands finished requests to
// the kernel for publication.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Platform.h"

namespace lumo::platform::virt {

// An object shared between threads through an intrusive reference count.
// The count lives in the object so that taking a reference is one atomic
// increment, with no control block and no allocation. Ref<T> owns one
// reference; the object deletes itself when the last one goes.
class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  std::atomic<std::uint32_t> refs_{1};  // a new object holds its creator's reference
};

template <typename T>
class Ref {
 public:
  Ref() = default;
  // Takes over a reference the caller holds.
  static Ref Adopt(T* object) {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // A reference to a derived type converts to one to its base.
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  Ref(Ref<U>&& other) noexcept : object_(other.Detach()) {}  // NOLINT: implicit like T*
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref& other) : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  Ref& operator=(const Ref& other) {
    if (this != &other) *this = Ref(other);
    return *this;
  }
  ~Ref() { Reset(); }

  void Reset() {
    if (object_) std::exchange(object_, nullptr)->Release();
  }
  // Gives up the reference without releasing it.
  T* Detach() { return std::exchange(object_, nullptr); }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // The same reference, as a derived type the caller knows the object has.
  template <typename U>
  Ref<U> StaticCast() && {
    return Ref<U>::Adopt(static_cast<U*>(Detach()));
  }

 private:
  T* object_ = nullptr;
};

template <typename T, typename... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>::Adopt(new T(std::forward<Args>(args)...));
}

// Base of every object that a handle can name. Objects are reference
// counted as kernel objects are: a wait in progress keeps its event alive
// even while another thread closes the handle.
class KernelObject : public RefCounted {
 public:
  enum class Kind { Event, Device, InterfaceSet };
  explicit KernelObject(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The process's handles. A handle value encodes a slot index and the
// slot's generation at the time the handle was made; closing the handle
// moves the generation on, so a stale handle can never name a newer object:
// it is simply not found (kErrorInvalidHandle). A slot whose generation
// would run out of the handle's bits is retired instead of reused.
//
// Look-ups, on every I/O and event call, take no lock: a look-up pins the
// slot with one compare-and-swap on its state word, takes a reference on
// the object and unpins. Closing a handle marks the slot dead and waits for
// the few look-ups that pinned it before; only Insert and Remove share a
// mutex.
class HandleTable {
 public:
  static HandleTable& Instance();

  // nullptr when the table is full.
  void* Insert(Ref<KernelObject> object);
  Ref<KernelObject> Find(const void* handle, KernelObject::Kind kind);
  Ref<KernelObject> Remove(const void* handle);
  // Handles open now (events, devices, interface sets).
  std::size_t LiveCount();
  // Runs `action` on the object with its slot pinned, without taking a
  // reference: for short calls that never wait, such as setting an event.
  // False if the handle names no object of that kind.
  template <typename Action>
  bool Visit(const void* handle, KernelObject::Kind kind, Action&& action) {
    Slot* slot = Pin(handle);
    if (!slot) return false;
    const bool found = slot->object->kind() == kind;
    if (found) action(*slot->object);
    Unpin(*slot);
    return found;
  }

  static constexpr unsigned kIndexBits = 16;
  static constexpr std::uint32_t kSegmentSize = 1024;
  static constexpr std::uint32_t kSegments = (1u << kIndexBits) / kSegmentSize;

 private:
  struct Slot {
    // Bits 0-15: look-ups in progress; bit 16: the slot holds an object;
    // above: the generation, which matches the live handle's.
    std::atomic<std::uint64_t> state{0};
    KernelObject* object = nullptr;  // the table's reference; set while live
    std::uint32_t nextFree = 0;      // index + 1 of the next free slot, under mutex_
  };

  Slot* SlotAt(std::uint32_t index) const;
  // The live slot `handle` names, pinned: Remove waits for Unpin before it
  // lets the object go. nullptr for a stale or malformed handle.
  Slot* Pin(const void* handle);
  void Unpin(Slot& slot) { slot.state.fetch_sub(1, std::memory_order_release); }

  std::mutex mutex_;  // Insert and Remove
  std::atomic<Slot*> segments_[kSegments] = {};
  std::unique_ptr<Slot[]> owned_[kSegments];  // owners of segments_, under mutex_
  std::uint32_t used_ = 0;                    // slots handed out at least once
  std::uint32_t freeHead_ = 0;                // index + 1 of the first free slot
  std::size_t live_ = 0;                      // handles open, under mutex_
};

template <typename T>
Ref<T> FindObject(const void* handle, KernelObject::Kind kind) {
  return HandleTable::Instance().Find(handle, kind).template StaticCast<T>();
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

// --------------------------------------------------- hooks to and from the bus

// Closes a device handle: outstanding requests made on it are cancelled.
// Provided by the bus.
void CloseDeviceObject(KernelObject& object);

// Posts a device-change notice to every window registered for the class.
// Provided by the kernel's window system, called by the bus.
void PostInterfaceNotice(const Guid& interfaceClass, const std::string& path, std::uintptr_t event);

}  // namespace lumo::platform::virt
