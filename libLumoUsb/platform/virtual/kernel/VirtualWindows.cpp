// Window classes, message-only windows, per-thread message queues and
// device-change notices of the virtual backend.
//
// A message posted to a window goes to the queue of the thread that created
// the window and is delivered by that thread's ReceiveMessage and
// DispatchWindowMessage. Device-change notices carry a record that the
// queue owns; the record stays valid until the receiving thread asks for its
// next message.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/virtual/VirtualBus.h"
#include "platform/virtual/kernel/VirtualKernel.h"

namespace lumo::platform::virt {

namespace {

struct WindowClass {
  WindowProc procedure;
  std::uint32_t style;
};

struct WindowEntry {
  std::string className;
  std::uint32_t ownerThread;
  std::intptr_t userData;
};

struct Registration {
  Window window;
  bool forClass;  // interface-class notices; otherwise notices about one handle
  Guid interfaceClass;
  Handle handle;
};

struct QueuedMessage {
  Message message;
  std::vector<std::uint8_t> record;  // device-change record, empty for others
  bool notice = false;
};

struct ThreadQueue {
  std::deque<QueuedMessage> messages;
  std::condition_variable condition;
  // The device-change record of the message the thread received last. Kept
  // here rather than in a thread_local: mingw-w64's emulated TLS may run a
  // thread_local's destructor after its storage is gone.
  std::vector<std::uint8_t> currentRecord;
};

// Whether the last message received by this thread was a device-change
// notice not yet dispatched.
thread_local bool currentNoticeOpen = false;

class WindowSystem {
 public:
  static WindowSystem& Instance() {
    static WindowSystem* system = new WindowSystem;  // lives until the process ends
    return *system;
  }

  bool RegisterClass(const std::string& name, WindowProc procedure, std::uint32_t style) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!procedure) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    if (!classes_.emplace(name, WindowClass{procedure, style}).second) {
      SetLastError(kErrorClassAlreadyExists);
      return false;
    }
    return true;
  }

  std::vector<std::string> ClassNames() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& entry : classes_) names.push_back(entry.first);
    return names;
  }

  std::size_t ClassRegistrations(const Guid& interfaceClass) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const auto& entry : registrations_)
      if (entry.second.forClass && entry.second.interfaceClass == interfaceClass) ++count;
    return count;
  }

  Window Create(const std::string& className) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!classes_.count(className)) {
      SetLastError(kErrorCannotFindWindowClass);
      return nullptr;
    }
    const std::uintptr_t key = nextWindow_++;
    windows_.emplace(key, WindowEntry{className, CurrentThreadId(), 0});
    return ToWindow(key);
  }

  bool SetUserData(Window window, std::intptr_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    WindowEntry* entry = FindLocked(window);
    if (!entry) return false;
    entry->userData = value;
    return true;
  }

  std::intptr_t UserData(Window window) {
    std::lock_guard<std::mutex> lock(mutex_);
    const WindowEntry* entry = FindLocked(window);
    return entry ? entry->userData : 0;
  }

  bool Post(Window window, QueuedMessage message) {
    std::lock_guard<std::mutex> lock(mutex_);
    const WindowEntry* entry = FindLocked(window);
    if (!entry) return false;
    PostLocked(entry->ownerThread, std::move(message));
    return true;
  }

  int Receive(Message* message, Window filter) {
    FinishNotice();
    const std::uint32_t self = CurrentThreadId();
    std::unique_lock<std::mutex> lock(mutex_);
    ThreadQueue& queue = QueueLocked(self);
    std::deque<QueuedMessage>::iterator found;
    queue.condition.wait(lock, [&] {
      found = std::find_if(
          queue.messages.begin(), queue.messages.end(),
          [&](const QueuedMessage& queued) { return !filter || queued.message.window == filter; });
      return found != queue.messages.end();
    });
    QueuedMessage queued = std::move(*found);
    queue.messages.erase(found);
    *message = queued.message;
    // The thread's current record stays valid until its next receive.
    queue.currentRecord = std::move(queued.record);
    if (!queue.currentRecord.empty())
      message->lParam = reinterpret_cast<std::intptr_t>(queue.currentRecord.data());
    currentNoticeOpen = queued.notice;
    return message->message == kWmQuit ? 0 : 1;
  }

  std::intptr_t Dispatch(const Message& message) {
    WindowProc procedure = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const WindowEntry* entry = FindLocked(message.window);
      if (entry) procedure = classes_.at(entry->className).procedure;
    }
    std::intptr_t result = 0;
    if (procedure)
      result = procedure(message.window, message.message, message.wParam, message.lParam);
    FinishNotice();
    return result;
  }

  Notification Register(Window window, bool forClass, const Guid& interfaceClass, Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!FindLocked(window)) return nullptr;
    const std::uintptr_t key = nextNotification_++;
    registrations_.emplace(key, Registration{window, forClass, interfaceClass, handle});
    return reinterpret_cast<Notification>(key << 2);
  }

  bool Unregister(Notification notification) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (registrations_.erase(reinterpret_cast<std::uintptr_t>(notification) >> 2) == 0) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    return true;
  }

  void PostNotice(const Guid& interfaceClass, const std::string& path, std::uintptr_t event) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, registration] : registrations_) {
      if (!registration.forClass || registration.interfaceClass != interfaceClass) continue;
      const WindowEntry* entry = FindLocked(registration.window);
      if (!entry) continue;
      QueuedMessage queued;
      queued.record.assign(offsetof(DeviceInterfaceNotice, name) + path.size() + 1, 0);
      DeviceInterfaceNotice head{};
      head.size = static_cast<std::uint32_t>(queued.record.size());
      head.deviceType = kDbtDevTypDeviceInterface;
      head.classGuid = interfaceClass;
      std::memcpy(queued.record.data(), &head, offsetof(DeviceInterfaceNotice, name));
      std::memcpy(queued.record.data() + offsetof(DeviceInterfaceNotice, name), path.data(),
                  path.size());
      queued.message = Message{registration.window, kWmDeviceChange, event, 0};
      queued.notice = true;
      ++undeliveredNotices_;
      PostLocked(entry->ownerThread, std::move(queued));
    }
  }

  bool WaitDelivered(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return delivered_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return undeliveredNotices_ == 0; });
  }

 private:
  static Window ToWindow(std::uintptr_t key) { return reinterpret_cast<Window>(key << 2); }

  WindowEntry* FindLocked(Window window) {
    auto it = windows_.find(reinterpret_cast<std::uintptr_t>(window) >> 2);
    if (it == windows_.end() || ToWindow(it->first) != window) {
      SetLastError(kErrorInvalidWindowHandle);
      return nullptr;
    }
    return &it->second;
  }

  ThreadQueue& QueueLocked(std::uint32_t thread) {
    auto& queue = queues_[thread];
    if (!queue) queue = std::make_unique<ThreadQueue>();
    return *queue;
  }

  void PostLocked(std::uint32_t thread, QueuedMessage message) {
    ThreadQueue& queue = QueueLocked(thread);
    queue.messages.push_back(std::move(message));
    queue.condition.notify_all();
  }

  // Called when the notice last received by this thread has been dispatched
  // or passed over.
  void FinishNotice() {
    if (!currentNoticeOpen) return;
    currentNoticeOpen = false;
    std::lock_guard<std::mutex> lock(mutex_);
    --undeliveredNotices_;
    delivered_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable delivered_;
  std::map<std::string, WindowClass> classes_;
  std::map<std::uintptr_t, WindowEntry> windows_;
  std::map<std::uintptr_t, Registration> registrations_;
  std::map<std::uint32_t, std::unique_ptr<ThreadQueue>> queues_;
  std::uintptr_t nextWindow_ = 0x4000;
  std::uintptr_t nextNotification_ = 1;
  std::size_t undeliveredNotices_ = 0;
};

}  // namespace

void PostInterfaceNotice(const Guid& interfaceClass, const std::string& path,
                         std::uintptr_t event) {
  WindowSystem::Instance().PostNotice(interfaceClass, path, event);
}

bool WaitForNoticesDelivered(std::uint32_t timeoutMs) {
  return WindowSystem::Instance().WaitDelivered(timeoutMs);
}

std::vector<std::string> WindowClassNames() { return WindowSystem::Instance().ClassNames(); }

std::size_t InterfaceNoticeRegistrations(const Guid& interfaceClass) {
  return WindowSystem::Instance().ClassRegistrations(interfaceClass);
}

}  // namespace lumo::platform::virt

namespace lumo::platform {

using virt::WindowSystem;

bool RegisterWindowClass(const std::string& className, WindowProc procedure, std::uint32_t style) {
  return WindowSystem::Instance().RegisterClass(className, procedure, style);
}

Window CreateMessageWindow(const std::string& className) {
  return WindowSystem::Instance().Create(className);
}

void SetWindowUserData(Window window, std::intptr_t value) {
  WindowSystem::Instance().SetUserData(window, value);
}

std::intptr_t WindowUserData(Window window) { return WindowSystem::Instance().UserData(window); }

int ReceiveMessage(Message* message, Window filter) {
  if (!message) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  return WindowSystem::Instance().Receive(message, filter);
}

void TranslateWindowMessage(const Message&) {}

std::intptr_t DispatchWindowMessage(const Message& message) {
  return WindowSystem::Instance().Dispatch(message);
}

std::intptr_t DefaultWindowProc(Window, std::uint32_t, std::uintptr_t, std::intptr_t) { return 0; }

bool PostWindowMessage(Window window, std::uint32_t message, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  virt::QueuedMessage queued;
  queued.message = Message{window, message, wParam, lParam};
  return WindowSystem::Instance().Post(window, std::move(queued));
}

Notification RegisterInterfaceNotices(Window window, const Guid& interfaceClass) {
  virt::StartHostDrivers();
  return WindowSystem::Instance().Register(window, true, interfaceClass, nullptr);
}

Notification RegisterHandleNotices(Window window, Handle device) {
  if (!virt::HandleTable::Instance().Find(device, virt::KernelObject::Kind::Device)) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return WindowSystem::Instance().Register(window, false, Guid{}, device);
}

bool UnregisterNotices(Notification notification) {
  return WindowSystem::Instance().Unregister(notification);
}

}  // namespace lumo::platform
