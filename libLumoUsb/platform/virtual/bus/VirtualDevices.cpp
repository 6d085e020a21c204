// The device bus of the virtual backend: device interfaces plugged in and
// out, their enumeration, driver handles, and the routing of I/O control
// requests to the VirtualDriver of each interface.
//
// A request is handed to its device's VirtualDriver on the issuing thread and
// stays outstanding until the driver (or a cancellation) finishes it. An
// overlapped request always reports kErrorIoPending; when its driver finishes
// it during the submission itself, the result is published later by the
// completion thread, so callers always meet the asynchronous path.
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/virtual/VirtualBus.h"
#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

namespace {

struct Request {
  RequestId id = 0;
  std::uint64_t deviceId = 0;
  std::uint64_t openId = 0;
  std::uint8_t* in = nullptr;
  std::uint32_t inSize = 0;
  std::uint8_t* out = nullptr;
  std::uint32_t outSize = 0;
  CompletionTarget target;
};

struct Interface {
  std::uint64_t deviceId;
  Guid interfaceClass;
  std::string path;
  VirtualDriver* driver;
};

class DeviceObject : public KernelObject {
 public:
  DeviceObject(std::uint64_t device, std::uint64_t open)
      : KernelObject(Kind::Device), deviceId(device), openId(open) {}
  const std::uint64_t deviceId;
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
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

thread_local RequestId submittingRequest = 0;
thread_local std::uint64_t submittingDevice = 0;

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
      present_.push_back(std::make_unique<Interface>(Interface{nextDeviceId_++, interfaceClass,
                                                               path, driver}));
    }
    PostInterfaceNotice(interfaceClass, path, kDbtDeviceArrival);
    return true;
  }

  bool Unplug(const std::string& path) {
    std::unique_ptr<Interface> gone;
    std::vector<std::unique_ptr<Request>> orphans;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto it = std::find_if(present_.begin(), present_.end(),
                             [&](const auto& entry) { return SamePath(entry->path, path); });
      if (it == present_.end()) return false;
      gone = std::move(*it);
      present_.erase(it);
      orphans = TakeRequestsLocked(
          [&](const Request& request) { return request.deviceId == gone->deviceId; });
      // Wait until no other thread is inside the driver, so that the caller
      // may destroy it once we return. A driver that unplugs itself from
      // within OnRequest is not waited for.
      const int own = submittingDevice == gone->deviceId ? 1 : 0;
      idle_.wait(lock, [&] { return ActiveCallsLocked(gone->deviceId) <= own; });
    }
    for (auto& request : orphans) Publish(request->target, kErrorGenFailure, 0);
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
    std::uint64_t deviceId = 0;
    std::uint64_t openId = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const Interface* entry = FindLocked(path);
      if (!entry) {
        SetLastError(kErrorFileNotFound);
        return InvalidHandle();
      }
      deviceId = entry->deviceId;
      openId = nextOpenId_++;
    }
    return static_cast<Handle>(
        HandleTable::Instance().Insert(std::make_shared<DeviceObject>(deviceId, openId)));
  }

  void Close(const DeviceObject& device) {
    std::vector<std::unique_ptr<Request>> cancelled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled = TakeRequestsLocked(
          [&](const Request& request) { return request.openId == device.openId; });
    }
    for (auto& request : cancelled) Publish(request->target, kErrorOperationAborted, 0);
  }

  bool IoControl(const DeviceObject& device, std::uint32_t code, void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* bytesReturned,
                 Overlapped* overlapped) {
    SyncResult sync;
    auto request = std::make_unique<Request>();
    request->deviceId = device.deviceId;
    request->openId = device.openId;
    request->in = static_cast<std::uint8_t*>(in);
    request->inSize = in ? inSize : 0;
    request->out = static_cast<std::uint8_t*>(out);
    request->outSize = out ? outSize : 0;
    request->target.overlapped = overlapped;
    request->target.event = overlapped ? overlapped->event : nullptr;
    request->target.sync = overlapped ? nullptr : &sync;

    RequestInfo info;
    VirtualDriver* driver = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const Interface* entry = FindByIdLocked(device.deviceId);
      if (!entry) {
        SetLastError(kErrorGenFailure);
        return false;
      }
      driver = entry->driver;
      request->id = nextRequestId_++;
      info = RequestInfo{request->id, code, request->inSize, request->outSize,
                         overlapped != nullptr, request->in};
      if (overlapped) {
        overlapped->internalHigh.store(0, std::memory_order_relaxed);
        overlapped->internal.store(kStatusPending, std::memory_order_release);
        if (request->target.event) ResetEventObject(request->target.event);
      }
      outstanding_.emplace(request->id, std::move(request));
      ++activeCalls_[device.deviceId];
    }

    submittingRequest = info.id;
    submittingDevice = device.deviceId;
    driver->OnRequest(info);
    submittingRequest = 0;
    submittingDevice = 0;

    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = activeCalls_.find(device.deviceId);
      if (--it->second == 0) activeCalls_.erase(it);
      idle_.notify_all();
    }

    if (overlapped) {
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
    std::unique_ptr<Request> request;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = outstanding_.find(id);
      if (it == outstanding_.end()) return false;
      request = std::move(it->second);
      outstanding_.erase(it);
    }
    std::uint32_t bytes = 0;
    if (fill) bytes = fill(context, RequestBuffers{request->in, request->inSize, request->out,
                                                    request->outSize});
    if (request->target.overlapped && submittingRequest == id) {
      PublishLater(request->target, error, bytes);
    } else {
      Publish(request->target, error, bytes);
    }
    return true;
  }

  std::size_t OutstandingCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
  }

 private:
  const Interface* FindLocked(const std::string& path) const {
    for (const auto& entry : present_)
      if (SamePath(entry->path, path)) return entry.get();
    return nullptr;
  }

  const Interface* FindByIdLocked(std::uint64_t deviceId) const {
    for (const auto& entry : present_)
      if (entry->deviceId == deviceId) return entry.get();
    return nullptr;
  }

  int ActiveCallsLocked(std::uint64_t deviceId) const {
    auto it = activeCalls_.find(deviceId);
    return it == activeCalls_.end() ? 0 : it->second;
  }

  template <typename Predicate>
  std::vector<std::unique_ptr<Request>> TakeRequestsLocked(Predicate matches) {
    std::vector<std::unique_ptr<Request>> taken;
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
      if (matches(*it->second)) {
        taken.push_back(std::move(it->second));
        it = outstanding_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::uint64_t nextDeviceId_ = 1;
  std::uint64_t nextOpenId_ = 1;
  RequestId nextRequestId_ = 1;
  std::vector<std::unique_ptr<Interface>> present_;  // plug order
  std::unordered_map<RequestId, std::unique_ptr<Request>> outstanding_;
  std::unordered_map<std::uint64_t, int> activeCalls_;  // threads inside a driver, per device
};

std::shared_ptr<DeviceObject> FindDevice(Handle handle) {
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
  auto set = std::make_shared<virt::InterfaceSetObject>(
      interfaceClass, DeviceRegistry::Instance().Snapshot(interfaceClass));
  return static_cast<InterfaceSet>(virt::HandleTable::Instance().Insert(std::move(set)));
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
