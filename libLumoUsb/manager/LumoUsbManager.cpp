#include "lumo/LumoUsbManager.h"

#include <cstring>
#include <type_traits>

#include "Failure.h"
#include "Log.h"
#include "camera/FrameLeases.h"
#include "camera/FrameView.h"
#include "manager/HotplugWatcher.h"
#include "manager/ManagerState.h"
#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"

using lumo::camera::CameraDevice;
using lumo::manager::CameraFor;
using lumo::manager::CameraRef;
using lumo::manager::ManagerState;

static_assert(sizeof(LumoUsbManager) == sizeof(void*),
              "the exported manager object is one pointer to its state");
static_assert(std::is_standard_layout<LumoUsbManager>::value,
              "the registry's address is the manager object's first and only member");

namespace {

// The registry a manager object points at.
ManagerState& Registry(void* state) { return *static_cast<ManagerState*>(state); }

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

// Keeps why a call failed: as the camera's last error when the call named
// one, and as the calling thread's last failure.
void NoteFailure(CameraDevice* camera, lumo::Failure failure) {
  if (camera) camera->State().lastError.Store(failure);
  lumo::NoteThreadFailure(failure);
}

bool Refuse(CameraDevice* camera, std::int32_t kind) {
  NoteFailure(camera, lumo::Failure{kind, 0});
  return false;
}

// After a camera operation failed: what it recorded. A camera that was
// unplugged meanwhile failed for that, whatever the failing step saw.
void NoteOperationFailure(CameraDevice& camera) {
  lumo::Failure failure = lumo::TakeFailure();
  if (failure.kind == LUMO_ERROR_NONE) return;  // not a failure (a setting of 0)
  if ((failure.kind == LUMO_ERROR_OS || failure.kind == LUMO_ERROR_TIMED_OUT) && camera.IsRemoved())
    failure = lumo::Failure{LUMO_ERROR_REMOVED, 0};
  NoteFailure(&camera, failure);
}

// Runs `operation` on the registered, open camera named by `handle`;
// `failure` otherwise. The registry is held only to find the camera; the
// operation runs with the camera held through its shared owner. A result
// equal to `failure` leaves its reason with the camera and the thread.
template <typename Result, typename Operation>
Result WithOpenCamera(ManagerState& state, void* handle, Result failure, Operation operation) {
  lumo::TakeFailure();  // nothing of an earlier call
  const CameraRef camera = CameraFor(state, handle);
  if (!camera) {
    Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
    return failure;
  }
  if (!camera->IsOpen()) {
    Refuse(camera.get(), LUMO_ERROR_NOT_OPEN);
    return failure;
  }
  lumo::LogCameraScope scope(camera.get());
  const Result result = operation(*camera);
  if (result == failure) NoteOperationFailure(*camera);
  return result;
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
  lumo::manager::RefreshRegistry(state);
  state.pumpThread = std::thread(lumo::manager::RunMessagePump, &state);
  // Returns once the pump's window is registered for notices, or once the
  // pump has found it cannot be.
  state.WaitForPumpReady();
  // A camera that arrived between the first enumeration and the pump's
  // registration sent its notice to nobody: enumerate once more. Later
  // arrivals come as notices.
  lumo::manager::RefreshRegistry(state);
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
  if (it == state.pathByIndex.end()) {
    Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
    return kNone;
  }
  return const_cast<char*>(state.deviceIds.find(it->second)->c_str());
}

void* LumoUsbManager::OpenDevice(void* deviceId) {
  // Null and -1 name no device; neither is read through.
  if (!deviceId || deviceId == kNone) {
    Refuse(nullptr, LUMO_ERROR_BAD_ARGUMENT);
    return kNone;
  }
  lumo::TakeFailure();
  ManagerState& state = Registry(state_);
  const std::string path(static_cast<const char*>(deviceId));
  // A camera dropped by its removal while this waited to open it refuses
  // to open; its path's new camera, if the device is back, is tried once
  // more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const CameraRef camera = lumo::manager::CameraAtPath(state, path);
    if (!camera) break;
    if (camera->IsOpen()) return camera.get();
    lumo::LogCameraScope scope(camera.get());
    lumo::TakeFailure();
    if (camera->Open()) return camera.get();
    if (camera->Lifecycle() == lumo::camera::Phase::kDropped) continue;
    NoteOperationFailure(*camera);
    return kNone;
  }
  Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
  return kNone;
}

bool LumoUsbManager::CloseDevice(void* handle) {
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
  lumo::LogCameraScope scope(camera.get());
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
  if (!image) return Refuse(nullptr, LUMO_ERROR_BAD_ARGUMENT);  // a frame for nobody would be lost
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
  lumo::TakeFailure();
  lumo::camera::FrameRecord* frame = nullptr;
  // The wait holds no lock of the registry: an unplug of this camera ends
  // it at once, and other cameras' notices are handled meanwhile.
  if (camera->TakeFrame(&frame, timeout)) {
    *image = frame;
    return true;
  }
  NoteOperationFailure(*camera);
  return false;
}

bool LumoUsbManager::CameraTakeFrame(void* handle, LumoFrame* frame, unsigned int timeout) {
  if (!frame) return Refuse(nullptr, LUMO_ERROR_BAD_ARGUMENT);  // a frame for nobody would be lost
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
  lumo::TakeFailure();
  lumo::camera::FrameRecord* record = nullptr;
  if (!camera->LeaseFrame(&record, timeout)) {
    NoteOperationFailure(*camera);
    return false;
  }
  lumo::camera::DescribeFrame(*record, frame);
  return true;
}

bool LumoUsbManager::CameraReleaseFrame(void* handle, void* record) {
  // The lease itself knows its camera: no look-up, so that a frame of a
  // camera that was dropped meanwhile is still taken back.
  bool otherCamera = false;
  if (record && lumo::camera::EndLease(handle, record, &otherCamera)) return true;
  const CameraRef camera = CameraFor(Registry(state_), handle);
  return Refuse(camera.get(), record ? LUMO_ERROR_NOT_LENT : LUMO_ERROR_BAD_ARGUMENT);
}

int LumoUsbManager::CameraHeldFrames(void* handle) {
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) {
    Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
    return -1;
  }
  return camera->LentFrames();
}

void LumoUsbManager::SetFrameBytes(void* handle, long long bytes) {
  WithOpenCamera(Registry(state_), handle, false, [&](CameraDevice& camera) {
    camera.StoreFrameBytes(bytes);
    return true;
  });
}

bool LumoUsbManager::SetFrameCallback(void* handle, LumoFrameCallback callback, void* context) {
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return Refuse(nullptr, LUMO_ERROR_NO_CAMERA);
  camera->SetFrameCallback(callback, context);
  return true;
}

bool LumoUsbManager::GetStatistics(void* handle, LumoCameraStatistics* statistics) {
  if (!statistics) return false;
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return false;
  *statistics = lumo::camera::ReadStatistics(camera->State());
  return true;
}

LumoLastError LumoUsbManager::GetLastError(void* handle) {
  const CameraRef camera = CameraFor(Registry(state_), handle);
  if (!camera) return LumoLastError{LUMO_ERROR_NO_CAMERA, 0};
  const lumo::Failure failure = camera->State().lastError.Load();
  return LumoLastError{failure.kind, failure.osError};
}

void LumoUsbManager::SetDeviceChangeCallback(LumoDeviceChangeCallback callback, void* context) {
  Registry(state_).deviceChanges.SetCallback(callback, context);
}
