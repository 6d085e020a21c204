// ManagerState: the camera registry behind LumoUsbManager. Created by the
// manager's constructor and kept until the process ends; the hot-plug pump
// thread holds its address for that long.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "camera/CameraDevice.h"
#include "manager/DeviceChangeDispatcher.h"
#include "lumo/LumoUsbManager.h"
#include "platform/SharedLock.h"
#include "platform/WriterFirstLock.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::manager {

struct ManagerState {
  // Used only to count and enumerate the driver's devices; never opened.
  std::unique_ptr<usb::CLumoUSBDevice> usbDevice;
  // Window filter of the pump loop: null, so the loop serves every window of
  // the pump thread.
  platform::Window pumpWindowFilter = nullptr;
  std::thread pumpThread;  // never joined or detached
  std::atomic<bool> pumpRunning{true};

  // The pump thread calls MarkPumpReady once its window exists and is
  // registered for notices, or once either has failed. The manager's
  // constructor waits for it, so every notice posted after construction
  // finds the window in place.
  void MarkPumpReady() {
    std::lock_guard<std::mutex> lock(pumpReadyMutex);
    pumpReady = true;
    pumpReadyChanged.notify_all();
  }
  void WaitForPumpReady() {
    std::unique_lock<std::mutex> lock(pumpReadyMutex);
    pumpReadyChanged.wait(lock, [this] { return pumpReady; });
  }
  std::mutex pumpReadyMutex;
  std::condition_variable pumpReadyChanged;
  bool pumpReady = false;  // guarded by pumpReadyMutex

  // Guards both maps and the camera objects. Exported calls hold it shared;
  // the watcher takes it exclusively, and once it waits no new call gets
  // in ahead of it.
  platform::WriterFirstLock registryLock;
  // Enumeration index at registration -> lower-case device path.
  std::map<std::int32_t, std::string> pathByIndex;
  // Every path ever registered; it only grows. Device IDs point at these
  // strings, so an ID stays readable after its camera was dropped or its
  // index entry replaced: opening by it then finds the path's current
  // camera, or none.
  std::set<std::string> deviceIds;
  // Lower-case device path -> camera object.
  std::map<std::string, std::unique_ptr<camera::CameraDevice>> cameraByPath;

  // The application's device-change callback; the pump thread posts each
  // arrival and removal of a camera once it has released registryLock.
  DeviceChangeDispatcher deviceChanges;
};

// The registered camera whose object lives at `handle`, or null. The handle
// is compared by value only and never dereferenced, so null, -1 and stale
// or foreign addresses are simply not found. The caller holds registryLock.
camera::CameraDevice* FindCamera(const ManagerState& state, const void* handle);

// The registry behind a manager object; for the library's own code and its
// tests.
ManagerState& StateOf(LumoUsbManager& manager);

}  // namespace lumo::manager
