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
#include "lumo/LumoUsbManager.h"
#include "manager/DeviceChangeDispatcher.h"
#include "manager/HotplugQueue.h"
#include "platform/SharedLock.h"
#include "platform/WriterFirstLock.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::manager {

struct ManagerState {
  // Used only to count and enumerate the driver's devices (under
  // refreshLock); never opened.
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

  // Guards the maps below, and nothing else: it is held only to look them
  // up or change them, never across device I/O, a thread start or join, or
  // a camera's own calls. Exported calls take it shared to find their
  // camera and then work on it with the lock released, holding the camera
  // through a shared owner: a call in flight keeps its camera alive while
  // the registry drops it.
  platform::WriterFirstLock registryLock;
  // Current enumeration index -> lower-case device path, of every camera
  // plugged in now: rebuilt from the driver's device list after every
  // arrival and removal.
  std::map<std::int32_t, std::string> pathByIndex;
  // Every path ever registered; it only grows. Device IDs point at these
  // strings, so an ID stays readable after its camera was dropped: opening
  // by it then finds the path's current camera, or none.
  std::set<std::string> deviceIds;
  // Lower-case device path -> camera object: every camera plugged in, and
  // open cameras that are away (unplugged, waiting to return).
  std::map<std::string, std::shared_ptr<camera::CameraDevice>> cameraByPath;

  // Serialises rebuilding pathByIndex (and registering new cameras) from
  // the driver's device list. Outside registryLock: RefreshRegistry takes
  // registryLock while holding it, never the other way round.
  std::mutex refreshLock;

  // The cameras' hot-plug work (re-attach, removal), each camera on a
  // worker of its own, in the order of its notices.
  HotplugQueue hotplugWork;

  // The application's device-change callback; the hot-plug work posts each
  // arrival and removal of a camera once it is handled.
  DeviceChangeDispatcher deviceChanges;
};

using CameraRef = std::shared_ptr<camera::CameraDevice>;

// The registered camera whose object lives at `handle`, or null. The handle
// is compared by value only and never dereferenced, so null, -1 and stale
// or foreign addresses are simply not found. The caller holds registryLock.
CameraRef FindCamera(const ManagerState& state, const void* handle);
// The same, taking registryLock shared for the look-up only.
CameraRef CameraFor(ManagerState& state, const void* handle);
// The camera registered under a lower-case path, or null; takes
// registryLock shared for the look-up only.
CameraRef CameraAtPath(ManagerState& state, const std::string& path);

// Rebuilds pathByIndex from the driver's present devices and registers a
// new, unopened camera for every camera path present that has none. The
// enumeration and the new camera objects are made outside registryLock,
// which is then held exclusively only to put them in.
void RefreshRegistry(ManagerState& state);

// The registry behind a manager object; for the library's own code and its
// tests.
ManagerState& StateOf(LumoUsbManager& manager);

}  // namespace lumo::manager
