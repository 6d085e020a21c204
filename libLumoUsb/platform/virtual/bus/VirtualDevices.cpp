// The device bus of the virtual backend: device interfaces plugged in and
// out, their enumeration, driver handles, and the routing of I/O control
// requests to the VirtualDriver of each interface.
//
// A request is handed to its device's VirtualDriver on the issuing thread and
// stays outstanding until the driver (or a cancellation) finishes it. An
// overlapped request always reports kErrorIoPending; when its driver finishes
// it during the submission itself, the result is published as the
// submission ends, once the driver has returned, so callers always meet the
// asynchronous path.
//
// The request path takes no process-wide lock and allocates nothing: request
// records come from a table of slots recycled through a lock-free free list,
// a request id names its slot and the slot's generation, and finishing a
// request claims its slot with one compare-and-swap, so that a request is
// finished exactly once whoever races to finish it. Each device has a mutex
// of its own that orders submissions against its removal.
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/virtual/VirtualBus.h"
#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

namespace {

// One plugged interface. The registry references it while it is present,
// and every handle opened on it until the handle is closed.
class Device : public RefCounted {
 public:
  Device(std::uint64_t deviceId, const Guid& deviceClass, std::string devicePath,
         VirtualDriver* deviceDriver)
      : id(deviceId),
        interfaceClass(deviceClass),
        path(std::move(devicePath)),
        driver(deviceDriver) {}

  const std::uint64_t id;
  const Guid interfaceClass;
  const std::string path;
  VirtualDriver* const driver;

  // Submissions take the mutex to check `gone` and make their request
  // outstanding; Unplug takes it to set `gone`. Leaving the driver is a
  // plain decrement, with the mutex only to wake an Unplug that waits.
  std::mutex mutex;
  std::condition_variable idle;     // activeCalls dropped, for Unplug
  std::atomic<bool> gone{false};    // unplugged: no new request reaches the driver
  std::atomic<int> activeCalls{0};  // threads inside the driver's OnRequest
};

class DeviceObject : public KernelObject {
 public:
  DeviceObject(Ref<Device> openedDevice, std::uint64_t open)
      : KernelObject(Kind::Device), device(std::move(openedDevice)), openId(open) {}
  const Ref<Device> device;
  const std::uint64_t openId;
};

class InterfaceSetObject : public KernelObject {
 public:
  InterfaceSetObject(const Guid& setClass, std::vector<std::string> setPaths)
      : KernelObject(Kind::InterfaceSet), interfaceClass(setClass), paths(std::move(setPaths)) {}
  const Guid interfaceClass;
  const std::vector<std::string> paths;
};

bool SamePath(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// --------------------------------------------------------------- requests

// A request's slot. `state` holds the slot's generation and phase; the
// other fields belong to whoever moved the phase last: the issuer while it
// fills them in (free), the finisher once it claimed the slot (finishing).
// deviceId and openId are also read by cancellation scans before they claim
// a slot, hence atomic.
struct Request {
  std::atomic<std::uint64_t> state{0};
  std::atomic<std::uint32_t> nextFree{0};  // index + 1 of the next free slot
  std::atomic<std::uint64_t> deviceId{0};
  std::atomic<std::uint64_t> openId{0};
  std::uint8_t* in = nullptr;
  std::uint32_t inSize = 0;
  std::uint8_t* out = nullptr;
  std::uint32_t outSize = 0;
  CompletionTarget target;
};

enum Phase : std::uint64_t { kFree = 0, kOutstanding = 1, kFinishing = 2 };
constexpr unsigned kPhaseBits = 2;
constexpr std::uint64_t kPhaseMask = 3;
// Request ids: the slot's index below, its generation above.
constexpr unsigned kRequestIndexBits = 20;
constexpr std::uint32_t kRequestSegmentSize = 1024;
constexpr std::uint32_t kRequestSegments = (1u << kRequestIndexBits) / kRequestSegmentSize;
constexpr std::uint64_t kFreeIndexMask = 0xFFFFFFFFu;

std::uint64_t StateOf(std::uint64_t generation, Phase phase) {
  return (generation << kPhaseBits) | phase;
}

// Every request record of the process. Records are never given back to the
// allocator: a free one waits in the free list for the next request.
class RequestTable {
 public:
  // A free slot and the generation its new request has; false when the
  // table is full.
  bool Allocate(std::uint32_t& index, std::uint64_t& generation) {
    std::uint64_t head = freeHead_.load(std::memory_order_acquire);
    for (;;) {
      if ((head & kFreeIndexMask) == 0) {
        if (!Grow()) return false;
        head = freeHead_.load(std::memory_order_acquire);
        continue;
      }
      const auto candidate = static_cast<std::uint32_t>(head & kFreeIndexMask) - 1;
      const std::uint32_t next = At(candidate).nextFree.load(std::memory_order_relaxed);
      // The count in the upper half changes on every push and pop, so a
      // head that was popped and pushed back meanwhile is not mistaken for
      // the one read above.
      const std::uint64_t newHead = (((head >> 32) + 1) << 32) | next;
      if (freeHead_.compare_exchange_weak(head, newHead, std::memory_order_acquire,
                                          std::memory_order_acquire)) {
        index = candidate;
        generation = (At(candidate).state.load(std::memory_order_relaxed) >> kPhaseBits) + 1;
        return true;
      }
    }
  }

  void Free(std::uint32_t index, std::uint64_t generation) {
    Request& request = At(index);
    request.state.store(StateOf(generation, kFree), std::memory_order_relaxed);
    std::uint64_t head = freeHead_.load(std::memory_order_relaxed);
    std::uint64_t newHead = 0;
    do {
      request.nextFree.store(static_cast<std::uint32_t>(head & kFreeIndexMask),
                             std::memory_order_relaxed);
      newHead = (((head >> 32) + 1) << 32) | (index + 1);
    } while (!freeHead_.compare_exchange_weak(head, newHead, std::memory_order_release,
                                              std::memory_order_relaxed));
  }

  // The slot named by `id`, claimed for finishing; nullptr if that request
  // is not outstanding any more.
  Request* Claim(RequestId id) {
    const auto index = static_cast<std::uint32_t>(id & ((1u << kRequestIndexBits) - 1));
    Request* request = Find(index);
    if (!request) return nullptr;
    std::uint64_t expected = StateOf(id >> kRequestIndexBits, kOutstanding);
    if (!request->state.compare_exchange_strong(expected, expected + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed))
      return nullptr;
    return request;
  }

  // Claims every outstanding request that `matches` (deviceId, openId) and
  // hands its id and slot to `take`.
  template <typename Matches, typename Take>
  void ClaimAll(Matches matches, Take take) {
    const std::uint32_t count = used_.load(std::memory_order_acquire);
    for (std::uint32_t index = 0; index < count; ++index) {
      Request& request = At(index);
      std::uint64_t state = request.state.load(std::memory_order_acquire);
      if ((state & kPhaseMask) != kOutstanding) continue;
      if (!matches(request.deviceId.load(std::memory_order_acquire),
                   request.openId.load(std::memory_order_acquire)))
        continue;
      // Fails if the request finished (and perhaps its slot was reused)
      // since the fields were read.
      if (!request.state.compare_exchange_strong(state, state + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
        continue;
      take(IdOf(index, state >> kPhaseBits), request);
    }
  }

  Request& At(std::uint32_t index) {
    return segments_[index / kRequestSegmentSize].load(
        std::memory_order_acquire)[index % kRequestSegmentSize];
  }

  static RequestId IdOf(std::uint32_t index, std::uint64_t generation) {
    return (generation << kRequestIndexBits) | index;
  }

 private:
  Request* Find(std::uint32_t index) {
    Request* segment = segments_[index / kRequestSegmentSize].load(std::memory_order_acquire);
    return segment ? segment + index % kRequestSegmentSize : nullptr;
  }

  // Adds a segment of free slots, unless another thread just did.
  bool Grow() {
    std::lock_guard<std::mutex> lock(growMutex_);
    if ((freeHead_.load(std::memory_order_acquire) & kFreeIndexMask) != 0) return true;
    const std::uint32_t used = used_.load(std::memory_order_relaxed);
    if (used == kRequestSegments * kRequestSegmentSize) return false;
    const std::uint32_t segment = used / kRequestSegmentSize;
    owned_[segment] = std::make_unique<Request[]>(kRequestSegmentSize);
    segments_[segment].store(owned_[segment].get(), std::memory_order_release);
    used_.store(used + kRequestSegmentSize, std::memory_order_release);
    for (std::uint32_t i = kRequestSegmentSize; i-- > 0;) Free(used + i, 0);
    return true;
  }

  std::atomic<std::uint64_t> freeHead_{0};  // push count << 32 | index + 1
  std::atomic<std::uint32_t> used_{0};      // slots in segments so far
  std::atomic<Request*> segments_[kRequestSegments] = {};
  std::unique_ptr<Request[]> owned_[kRequestSegments];  // under growMutex_
  std::mutex growMutex_;
};

// The request being submitted on this thread, and its result when its
// driver finishes it before the submission ends.
struct Submission {
  RequestId id = 0;
  std::uint64_t deviceId = 0;
  bool finished = false;
  CompletionTarget target;
  std::uint32_t error = 0;
  std::uint32_t bytes = 0;
};
thread_local Submission* submitting = nullptr;

class DeviceRegistry {
 public:
  static DeviceRegistry& Instance() {
    static DeviceRegistry* registry = new DeviceRegistry;  // lives until the process ends
    return *registry;
  }

  bool Plug(const Guid& interfaceClass, const std::string& path, VirtualDriver* driver) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!driver || FindLocked(path)) return false;
      present_.push_back(MakeRef<Device>(nextDeviceId_++, interfaceClass, path, driver));
    }
    PostInterfaceNotice(interfaceClass, path, kDbtDeviceArrival);
    return true;
  }

  bool Unplug(const std::string& path) {
    Ref<Device> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find_if(present_.begin(), present_.end(),
                             [&](const auto& entry) { return SamePath(entry->path, path); });
      if (it == present_.end()) return false;
      gone = std::move(*it);
      present_.erase(it);
    }
    {
      // A submission that got past this point's check of `gone` made its
      // request outstanding before it let go of the mutex: the scan below
      // finds it.
      std::lock_guard<std::mutex> lock(gone->mutex);
      gone->gone = true;
    }
    const std::uint64_t deviceId = gone->id;
    Cancel([deviceId](std::uint64_t device, std::uint64_t) { return device == deviceId; },
           kErrorGenFailure);
    {
      // Wait until no other thread is inside the driver, so that the caller
      // may destroy it once we return. A driver that unplugs itself from
      // within OnRequest is not waited for.
      std::unique_lock<std::mutex> lock(gone->mutex);
      const int own = submitting && submitting->deviceId == deviceId ? 1 : 0;
      gone->idle.wait(lock, [&] { return gone->activeCalls.load() <= own; });
    }
    PostInterfaceNotice(gone->interfaceClass, gone->path, kDbtDeviceRemoveComplete);
    return true;
  }

  std::vector<std::string> Snapshot(const Guid& interfaceClass) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& entry : present_)
      if (entry->interfaceClass == interfaceClass) paths.push_back(entry->path);
    return paths;
  }

  Handle Open(const std::string& path) {
    Ref<Device> device;
    std::uint64_t openId = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const Ref<Device>* entry = FindLocked(path);
      if (!entry) {
        SetLastError(kErrorFileNotFound);
        return InvalidHandle();
      }
      device = *entry;
      openId = nextOpenId_++;
    }
    if (!EnterDriver(*device)) {
      SetLastError(kErrorFileNotFound);
      return InvalidHandle();
    }
    const std::uint32_t refused = device->driver->OnHandleOpened();
    LeaveDriver(*device);
    if (refused != 0) {
      SetLastError(refused);
      return InvalidHandle();
    }
    Device& opened = *device;
    void* handle = HandleTable::Instance().Insert(MakeRef<DeviceObject>(std::move(device), openId));
    if (!handle) {
      if (EnterDriver(opened)) {
        opened.driver->OnHandleClosed(nullptr, 0);
        LeaveDriver(opened);
      }
      SetLastError(kErrorNotEnoughMemory);
      return InvalidHandle();
    }
    return static_cast<Handle>(handle);
  }

  void Close(const DeviceObject& object) {
    const std::uint64_t openId = object.openId;
    std::vector<RequestId> cancelled;
    Cancel([openId](std::uint64_t, std::uint64_t open) { return open == openId; },
           kErrorOperationAborted, &cancelled);
    Device& device = *object.device;
    if (!EnterDriver(device)) return;
    device.driver->OnHandleClosed(cancelled.data(), cancelled.size());
    LeaveDriver(device);
  }

  bool IoControl(const DeviceObject& object, std::uint32_t code, void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* bytesReturned,
                 Overlapped* overlapped) {
    Device& device = *object.device;
    SyncResult sync;
    CompletionTarget target;
    target.overlapped = overlapped;
    target.event = overlapped ? overlapped->event : nullptr;
    target.sync = overlapped ? nullptr : &sync;

    Submission submission;
    submission.deviceId = device.id;
    RequestInfo info;
    {
      std::lock_guard<std::mutex> lock(device.mutex);
      std::uint32_t index = 0;
      std::uint64_t generation = 0;
      if (device.gone.load(std::memory_order_relaxed)) {
        SetLastError(kErrorGenFailure);
        return false;
      }
      if (!requests_.Allocate(index, generation)) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
      }
      // A refused request leaves the caller's OVERLAPPED as it was.
      if (overlapped) {
        overlapped->internalHigh.store(0, std::memory_order_relaxed);
        overlapped->internal.store(kStatusPending, std::memory_order_release);
        if (target.event) ResetEventObject(target.event);
      }
      Request& request = requests_.At(index);
      request.deviceId.store(device.id, std::memory_order_relaxed);
      request.openId.store(object.openId, std::memory_order_relaxed);
      request.in = static_cast<std::uint8_t*>(in);
      request.inSize = in ? inSize : 0;
      request.out = static_cast<std::uint8_t*>(out);
      request.outSize = out ? outSize : 0;
      request.target = target;
      submission.id = RequestTable::IdOf(index, generation);
      info = RequestInfo{submission.id,         code,       request.inSize, request.outSize,
                         overlapped != nullptr, request.in, request.out};
      outstanding_.fetch_add(1, std::memory_order_relaxed);
      request.state.store(StateOf(generation, kOutstanding), std::memory_order_release);
      device.activeCalls.fetch_add(1);
    }

    Submission* const outer = std::exchange(submitting, &submission);
    device.driver->OnRequest(info);
    submitting = outer;
    LeaveDriver(device);

    if (overlapped) {
      if (submission.finished) Publish(submission.target, submission.error, submission.bytes);
      SetLastError(kErrorIoPending);
      return false;
    }
    std::unique_lock<std::mutex> lock(sync.mutex);
    sync.condition.wait(lock, [&] { return sync.done; });
    if (bytesReturned) *bytesReturned = sync.bytes;
    if (sync.error != 0) {
      SetLastError(sync.error);
      return false;
    }
    return true;
  }

  bool Complete(RequestId id, std::uint32_t error, FillFunction fill, void* context) {
    Request* request = requests_.Claim(id);
    if (!request) return false;
    std::uint32_t bytes = 0;
    if (fill)
      bytes = fill(context,
                   RequestBuffers{request->in, request->inSize, request->out, request->outSize});
    const CompletionTarget target = request->target;
    Release(id);
    // An overlapped request finished while it is being submitted on this
    // thread is published when the submission ends, after the driver has
    // returned: the caller then finds it finished, as it would find one
    // that another thread finished just before IoControl returned.
    if (target.overlapped && submitting && submitting->id == id) {
      submitting->finished = true;
      submitting->target = target;
      submitting->error = error;
      submitting->bytes = bytes;
      return true;
    }
    Publish(target, error, bytes);
    return true;
  }

  std::size_t OutstandingCount() const { return outstanding_.load(std::memory_order_relaxed); }

 private:
  const Ref<Device>* FindLocked(const std::string& path) const {
    for (const auto& entry : present_)
      if (SamePath(entry->path, path)) return &entry;
    return nullptr;
  }

  // Frees the slot of a claimed request.
  void Release(RequestId id) {
    requests_.Free(static_cast<std::uint32_t>(id & ((1u << kRequestIndexBits) - 1)),
                   id >> kRequestIndexBits);
    outstanding_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Finishes every outstanding request that `matches` with `error`, and
  // lists their ids in `cancelled` when it is given.
  template <typename Matches>
  void Cancel(Matches matches, std::uint32_t error, std::vector<RequestId>* cancelled = nullptr) {
    requests_.ClaimAll(matches, [&](RequestId id, Request& request) {
      const CompletionTarget target = request.target;
      Release(id);
      Publish(target, error, 0);
      if (cancelled) cancelled->push_back(id);
    });
  }

  // Lets a call into a present device's driver begin; false once the
  // device is unplugged, when its driver may be gone. Unplug waits for the
  // calls that began.
  static bool EnterDriver(Device& device) {
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.gone.load(std::memory_order_relaxed)) return false;
    device.activeCalls.fetch_add(1);
    return true;
  }

  // Unplug waits for the count to fall to 0, or to 1 when its own thread
  // is inside the driver. Either this thread sees `gone` and wakes it, or
  // Unplug, which sets `gone` before it looks at the count, sees the count
  // already lowered.
  static void LeaveDriver(Device& device) {
    if (device.activeCalls.fetch_sub(1) <= 2 && device.gone.load()) {
      std::lock_guard<std::mutex> lock(device.mutex);
      device.idle.notify_all();
    }
  }

  std::mutex mutex_;  // the present interfaces and the id counters
  std::uint64_t nextDeviceId_ = 1;
  std::uint64_t nextOpenId_ = 1;
  std::vector<Ref<Device>> present_;  // plug order
  RequestTable requests_;
  std::atomic<std::size_t> outstanding_{0};
};

Ref<DeviceObject> FindDevice(Handle handle) {
  auto device = FindObject<DeviceObject>(handle, KernelObject::Kind::Device);
  if (!device) SetLastError(kErrorInvalidHandle);
  return device;
}

}  // namespace

void CloseDeviceObject(KernelObject& object) {
  DeviceRegistry::Instance().Close(static_cast<DeviceObject&>(object));
}

bool Plug(const Guid& interfaceClass, const std::string& path, VirtualDriver* driver) {
  return DeviceRegistry::Instance().Plug(interfaceClass, path, driver);
}

bool Unplug(const std::string& path) { return DeviceRegistry::Instance().Unplug(path); }

bool CompleteRequestRaw(RequestId id, std::uint32_t error, FillFunction fill, void* context) {
  return DeviceRegistry::Instance().Complete(id, error, fill, context);
}

std::size_t OutstandingRequestCount() { return DeviceRegistry::Instance().OutstandingCount(); }

}  // namespace lumo::platform::virt

namespace lumo::platform {

using virt::DeviceRegistry;

InterfaceSet OpenInterfaceSet(const Guid& interfaceClass) {
  virt::StartHostDrivers();
  auto set = virt::MakeRef<virt::InterfaceSetObject>(
      interfaceClass, DeviceRegistry::Instance().Snapshot(interfaceClass));
  void* handle = virt::HandleTable::Instance().Insert(std::move(set));
  return handle ? static_cast<InterfaceSet>(handle) : InvalidInterfaceSet();
}

bool InterfacePathAt(InterfaceSet set, const Guid& interfaceClass, std::uint32_t index,
                     std::string* path) {
  auto object =
      virt::FindObject<virt::InterfaceSetObject>(set, virt::KernelObject::Kind::InterfaceSet);
  if (!object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (object->interfaceClass != interfaceClass || index >= object->paths.size()) {
    SetLastError(kErrorNoMoreItems);
    return false;
  }
  if (path) *path = object->paths[index];
  return true;
}

void CloseInterfaceSet(InterfaceSet set) { virt::HandleTable::Instance().Remove(set); }

Handle OpenDevicePath(const std::string& path) { return DeviceRegistry::Instance().Open(path); }

bool IoControl(Handle device, std::uint32_t code, void* inBuffer, std::uint32_t inSize,
               void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned,
               Overlapped* overlapped) {
  auto object = virt::FindDevice(device);
  if (!object) return false;
  return DeviceRegistry::Instance().IoControl(*object, code, inBuffer, inSize, outBuffer, outSize,
                                              bytesReturned, overlapped);
}

}  // namespace lumo::platform
