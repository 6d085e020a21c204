#include "lumo/LumoUsbManager.h"

#include <chrono>
#include <cstring>
#include <type_traits>

#include "manager/HotplugWatcher.h"
#include "manager/ManagerState.h"
#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"

using lumo::camera::CameraDevice;
using lumo::manager::FindCamera;
using lumo::manager::ManagerState;

static_assert(sizeof(LumoUsbManager) == sizeof(void*),
              "the exported manager object is one pointer to its state");
static_assert(std::is_standard_layout<LumoUsbManager>::value,
              "the registry's address is the manager object's first and only member");

namespace {

// The registry a manager object points at.
ManagerState& Registry(void* state) { return *static_cast<ManagerState*>(state); }

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

// Runs `operation` on the registered, open camera named by `handle` under
// the shared registry lock; `failure` otherwise.
template <typename Result, typename Operation>
Result WithOpenCamera(ManagerState& state, void* handle, Result failure, Operation operation) {
  lumo::platform::SharedGuard guard(state.registryLock);
  CameraDevice* camera = FindCamera(state, handle);
  if (!camera || !camera->IsOpen()) return failure;
  return operation(*camera);
}

}  // namespace

namespace lumo::manager {

ManagerState& StateOf(LumoUsbManager& manager) {
  // The exported class holds nothing but the registry's address.
  return *static_cast<ManagerState*>(*reinterpret_cast<void**>(&manager));
}

}  // namespace lumo::manager

LumoUsbManager::LumoUsbManager() : state_(new ManagerState) {
  ManagerState& state = Registry(state_);
  state.usbDevice =
      std::make_unique<lumo::usb::CLumoUSBDevice>(nullptr, lumo::usb::kDriverInterfaceClass);
  const int count = state.usbDevice->CountDevices();
  for (int index = 0; index < count; ++index) {
    std::string path = lumo::usb::DevicePathAt(index, state.usbDevice->InterfaceGuid());
    if (!lumo::usb::IsCamera(lumo::usb::IdentifyInterface(path))) continue;
    state.pathByIndex[index] = path;
    state.deviceIds.insert(path);
    state.cameraByPath[path] = std::make_unique<CameraDevice>(path);
  }
  state.pumpThread = std::thread(lumo::manager::RunMessagePump, &state);
  // Returns once the pump's window is registered for notices, or once the
  // pump has found it cannot be.
  state.WaitForPumpReady();
}

LumoUsbManager::~LumoUsbManager() = default;

LumoUsbManager& LumoUsbManager::operator=(const LumoUsbManager& other) {
  state_ = other.state_;
  return *this;
}

int LumoUsbManager::DeviceCount() {
  lumo::platform::SharedGuard guard(Registry(state_).registryLock);
  if (!Registry(state_).usbDevice) return 0;
  return static_cast<int>(Registry(state_).pathByIndex.size());
}

void* LumoUsbManager::GetDeviceIDForIndex(int index) {
  lumo::platform::SharedGuard guard(Registry(state_).registryLock);
  const ManagerState& state = Registry(state_);
  auto it = state.pathByIndex.find(index);
  if (it == state.pathByIndex.end()) return kNone;
  return const_cast<char*>(state.deviceIds.find(it->second)->c_str());
}

void* LumoUsbManager::OpenDevice(void* deviceId) {
  // Null and -1 name no device; neither is read through.
  if (!deviceId || deviceId == kNone) return kNone;
  lumo::platform::SharedGuard guard(Registry(state_).registryLock);
  auto it = Registry(state_).cameraByPath.find(std::string(static_cast<const char*>(deviceId)));
  if (it == Registry(state_).cameraByPath.end()) return kNone;
  CameraDevice* camera = it->second.get();
  if (camera->IsOpen()) return camera;
  return camera->Open() ? camera : kNone;
}

bool LumoUsbManager::CloseDevice(void* handle) {
  lumo::platform::SharedGuard guard(Registry(state_).registryLock);
  CameraDevice* camera = FindCamera(Registry(state_), handle);
  if (!camera) return false;
  return camera->IsOpen() ? camera->Close() : true;
}

bool LumoUsbManager::StartAcq(void* handle) {
  return WithOpenCamera(Registry(state_), handle, false,
                        [](CameraDevice& camera) { return camera.StartAcquisition(); });
}

bool LumoUsbManager::StopAcq(void* handle) {
  return WithOpenCamera(Registry(state_), handle, false,
                        [](CameraDevice& camera) { return camera.StopAcquisition(); });
}

bool LumoUsbManager::SetupCommand(void* handle, std::int64_t address, void* data, int length,
                                  int timeout) {
  return WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    return camera.WriteRegister(address, data, length, timeout);
  });
}

bool LumoUsbManager::ReadCommand(void* handle, std::int64_t address, void* data, int length,
                                 int timeout) {
  return WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    return camera.ReadRegister(address, data, length, timeout);
  });
}

bool LumoUsbManager::CameraSendBuffer(void* handle, void* buffer, int length, int timeout) {
  return WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    return camera.SendBuffer(buffer, length, timeout);
  });
}

bool LumoUsbManager::CameraReadBuffer(void* handle, void* buffer, int* length, int timeout) {
  return WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    return camera.ReadBuffer(buffer, length, timeout);
  });
}

int LumoUsbManager::GetBufferCount(void* handle) {
  return WithOpenCamera(Registry(state_), handle, 0,
                        [](CameraDevice& camera) { return camera.BufferCount(); });
}

void LumoUsbManager::SetBufferCount(void* handle, int count) {
  WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    camera.StoreBufferCount(count);
    return true;
  });
}

void LumoUsbManager::SetTransferSize(void* handle, int bytes) {
  WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    camera.StoreTransferSize(bytes);
    return true;
  });
}

int LumoUsbManager::GetTransferSize(void* handle) {
  return WithOpenCamera(Registry(state_), handle, 0,
                        [](CameraDevice& camera) { return camera.TransferSize(); });
}

void LumoUsbManager::SetPixelSize(void* handle, int size) {
  WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    camera.StorePixelSize(size);
    return true;
  });
}

bool LumoUsbManager::CameraGetImage(void* handle, void** image, unsigned int timeout) {
  if (!image) return false;  // a frame taken for nobody would be lost
  // The wait runs in slices, each under the registry lock held shared and
  // with the camera looked up again: a long wait would otherwise hold off
  // the hot-plug watcher, and with it every other caller, for its whole
  // length.
  constexpr unsigned int kSliceMs = 50;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  unsigned int left = timeout;
  for (;;) {
    const unsigned int slice = left < kSliceMs ? left : kSliceMs;
    {
      lumo::platform::SharedGuard guard(Registry(state_).registryLock);
      CameraDevice* camera = FindCamera(Registry(state_), handle);
      if (!camera) return false;
      lumo::camera::FrameRecord* frame = nullptr;
      if (camera->TakeFrame(&frame, slice)) {
        *image = frame;
        return true;
      }
      // A camera that is away or closed fails at once, not slice by slice.
      if (camera->IsRemoved()) return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    left = static_cast<unsigned int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
  }
}
