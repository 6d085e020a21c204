// LumoUsbManager: the exported entry point of libLumoUsb.
//
// Constructing a manager discovers the cameras that are plugged in and
// starts watching for cameras being unplugged and plugged in. Device IDs
// and camera handles are opaque addresses owned by the library; the value
// with all bits set (-1) means "none".
#pragma once

#include <cstdint>

#include "lumo/Export.h"

class LumoUsbManager;

namespace lumo::manager {
struct ManagerState;
// The registry behind a manager; for the library's own code and tests.
ManagerState& StateOf(LumoUsbManager& manager);
}  // namespace lumo::manager

class LUMO_API LumoUsbManager {
 public:
  LumoUsbManager();
  // Releases nothing: the registry, the cameras and the hot-plug watcher
  // stay in place until the process ends.
  ~LumoUsbManager();
  // Shares the other manager's registry.
  LumoUsbManager& operator=(const LumoUsbManager& other);

  // Number of registered cameras.
  int DeviceCount();
  // Device ID of the camera registered under an enumeration index, or -1.
  // Indices are positions in the driver's whole device list.
  void* GetDeviceIDForIndex(int index);
  // Opens the camera whose device path the NUL-terminated `deviceId` names
  // and returns its handle, or -1. An open camera's handle is returned as is.
  void* OpenDevice(void* deviceId);
  bool CloseDevice(void* handle);
  bool StartAcq(void* handle);
  bool StopAcq(void* handle);
  bool SetupCommand(void* handle, std::int64_t address, void* data, int length, int timeout);
  bool ReadCommand(void* handle, std::int64_t address, void* data, int length, int timeout);
  bool CameraSendBuffer(void* handle, void* buffer, int length, int timeout);
  bool CameraReadBuffer(void* handle, void* buffer, int* length, int timeout);
  int GetBufferCount(void* handle);
  void SetBufferCount(void* handle, int count);
  void SetPixelSize(void* handle, int size);
  bool CameraGetImage(void* handle, void** image, unsigned int timeout);

 private:
  friend lumo::manager::ManagerState& lumo::manager::StateOf(LumoUsbManager& manager);
  lumo::manager::ManagerState* state_;  // shared by copies; never freed
};
