// The LUMO_U3V_ functions: each forwards to the process-wide manager and
// turns its result into a result code.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Failure.h"
#include "flat/ImageInfoRecord.h"
#include "flat/ProcessManager.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/lumo_u3v.h"
#include "manager/ManagerState.h"

using lumo::flat::CreateProcessManager;
using lumo::flat::ProcessManager;

// The device ID sits at byte 8 of the caller's record, pointer-sized.
static_assert(offsetof(LUMO_U3V_DeviceInfo, deviceId) == 8, "DeviceInfo layout");
static_assert(sizeof(LUMO_U3V_DeviceInfo) == 8 + sizeof(void*), "DeviceInfo layout");

namespace {

// The data calls of the buffer channel always wait this long.
constexpr int kDataTimeoutMs = 1000;

// Pure no-ops share this one body; none of them reads its arguments.
unsigned int Nothing() { return LUMO_U3V_OK; }

// LUMO_U3V_CloseStream and LUMO_U3V_CloseControl: there is no channel to
// close.
unsigned int CloseNothing() { return LUMO_U3V_OK; }

using lumo::camera::CameraDevice;

// A call refused before it reached the manager: the reason becomes the
// thread's last failure.
unsigned int Refused(std::int32_t kind) {
  lumo::NoteThreadFailure(lumo::Failure{kind, 0});
  return LUMO_U3V_ERROR;
}

// Before LUMO_U3V_GetManager or LUMO_U3V_DiscoveryDevices there is no
// camera to name.
unsigned int NoManager() { return Refused(LUMO_ERROR_NO_CAMERA); }

// Stores what `read` gives for the open camera named by `handle` in *cell.
// The manager's getters answer 0 both for an unknown handle and for a
// setting of 0, so the camera is looked up here: for a handle that names no
// open camera the cell is not touched.
template <typename Read>
void StoreFromOpenCamera(void* handle, int32_t* cell, Read read) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager || !cell) return;
  lumo::manager::ManagerState& state = lumo::manager::StateOf(*manager);
  const lumo::manager::CameraRef camera = lumo::manager::CameraFor(state, handle);
  if (camera && camera->IsOpen()) *cell = read(*camera);
}

}  // namespace

extern "C" {

void* LUMO_U3V_CALL LUMO_U3V_GetManager(void) { return &CreateProcessManager(); }

unsigned int LUMO_U3V_CALL LUMO_U3V_DiscoveryDevices(uint16_t* count) {
  LumoUsbManager& manager = CreateProcessManager();
  if (!count) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  *count = static_cast<uint16_t>(manager.DeviceCount());
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetDeviceInfo(unsigned int index, LUMO_U3V_DeviceInfo* info) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  if (!info) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  // The index is a 16-bit value; higher bits carry nothing.
  void* const id = manager->GetDeviceIDForIndex(static_cast<int>(index & 0xFFFFu));
  std::memcpy(reinterpret_cast<unsigned char*>(info) + offsetof(LUMO_U3V_DeviceInfo, deviceId), &id,
              sizeof(id));
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_OpenDevice(void* const* deviceId, void** handle,
                                               void* /*reserved1*/, void* /*reserved2*/) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  if (!deviceId || !handle) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  *handle = manager->OpenDevice(*deviceId);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_CloseDevice(void* handle) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  manager->CloseDevice(handle);
  return LUMO_U3V_OK;
}

uint16_t LUMO_U3V_CALL LUMO_U3V_ControlSet(void* handle, int64_t address, void* data,
                                           int32_t length, int32_t timeoutMs) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->SetupCommand(handle, address, data, length, timeoutMs) ? LUMO_U3V_OK
                                                                         : LUMO_U3V_ERROR;
}

uint16_t LUMO_U3V_CALL LUMO_U3V_ControlRead(void* handle, int64_t address, void* data,
                                            int32_t length, int32_t timeoutMs) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->ReadCommand(handle, address, data, length, timeoutMs) ? LUMO_U3V_OK
                                                                        : LUMO_U3V_ERROR;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_ReadData(void* handle, int32_t* length, void* destination) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  if (!length) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  // The caller's cell changes only when bytes were actually read.
  int copied = *length;
  if (!manager->CameraReadBuffer(handle, destination, &copied, kDataTimeoutMs))
    return LUMO_U3V_TIMEOUT;
  *length = copied;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_WriteData(void* handle, unsigned int length,
                                              const void* source) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  // The length is a 16-bit value; higher bits carry nothing.
  const int bytes = static_cast<int>(length & 0xFFFFu);
  return manager->CameraSendBuffer(handle, const_cast<void*>(source), bytes, kDataTimeoutMs)
             ? LUMO_U3V_OK
             : LUMO_U3V_TIMEOUT;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_AcquisitionStart(void* handle, void* /*reserved*/) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->StartAcq(handle) ? LUMO_U3V_OK : LUMO_U3V_ERROR;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_AcquisitionStop(void* handle, void* /*reserved1*/,
                                                    void* /*reserved2*/) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->StopAcq(handle) ? LUMO_U3V_OK : LUMO_U3V_ERROR;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetImage(void* handle, unsigned int timeoutMs,
                                             LUMO_U3V_ImageInfo* info) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  void* frame = nullptr;
  if (!manager->CameraGetImage(handle, &frame, timeoutMs)) return LUMO_U3V_TIMEOUT;
  if (info) lumo::flat::FillImageInfo(*static_cast<const lumo::FrameRecordHeader*>(frame), info);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_TakeFrame(void* handle, unsigned int timeoutMs,
                                              LumoFrame* frame) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  if (!frame) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  return manager->CameraTakeFrame(handle, frame, timeoutMs) ? LUMO_U3V_OK : LUMO_U3V_TIMEOUT;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_ReleaseFrame(void* handle, void* record) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->CameraReleaseFrame(handle, record) ? LUMO_U3V_OK : LUMO_U3V_ERROR;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetHeldFrames(void* handle, int* count) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  if (!count) return Refused(LUMO_ERROR_BAD_ARGUMENT);
  const int held = manager->CameraHeldFrames(handle);
  if (held < 0) return LUMO_U3V_ERROR;
  *count = held;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetFrameBytes(void* handle, int64_t bytes) {
  if (LumoUsbManager* manager = ProcessManager()) manager->SetFrameBytes(handle, bytes);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetFrameCallback(void* handle, LumoFrameCallback callback,
                                                     void* context) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  return manager->SetFrameCallback(handle, callback, context) ? LUMO_U3V_OK : LUMO_U3V_ERROR;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetBufferCount(void* handle, int32_t count) {
  // The manager ignores handles that name no open camera.
  if (LumoUsbManager* manager = ProcessManager()) manager->SetBufferCount(handle, count);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetBufferCount(void* handle, int32_t* count) {
  StoreFromOpenCamera(handle, count,
                      [](const CameraDevice& camera) { return camera.BufferCount(); });
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetTransferSize(void* handle, int32_t bytes) {
  if (LumoUsbManager* manager = ProcessManager()) manager->SetTransferSize(handle, bytes);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetTransferSize(void* handle, int32_t* bytes) {
  StoreFromOpenCamera(handle, bytes,
                      [](const CameraDevice& camera) { return camera.TransferSize(); });
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetStatistics(void* handle, LumoCameraStatistics* statistics) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager || !manager->GetStatistics(handle, statistics)) return LUMO_U3V_ERROR;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_GetLastError(int* kind, unsigned int* osError) {
  if (!kind || !osError) return LUMO_U3V_ERROR;
  const lumo::Failure failure = lumo::ThreadFailure();
  *kind = failure.kind;
  *osError = failure.osError;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetDeviceChangeCallback(LumoDeviceChangeCallback callback,
                                                            void* context) {
  LumoUsbManager* manager = ProcessManager();
  if (!manager) return NoManager();
  manager->SetDeviceChangeCallback(callback, context);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_SetLogSink(LumoLogSink sink, void* context) {
  LumoSetLogSink(sink, context);
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_OpenStream(void* /*reserved1*/, int32_t value, int32_t* cell,
                                               void* /*reserved2*/) {
  if (!cell) return LUMO_U3V_ERROR;
  *cell = value;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_OpenControl(int32_t value, int32_t* cell) {
  if (!cell) return LUMO_U3V_ERROR;
  *cell = value;
  return LUMO_U3V_OK;
}

unsigned int LUMO_U3V_CALL LUMO_U3V_CloseStream(void* /*reserved*/) { return CloseNothing(); }
unsigned int LUMO_U3V_CALL LUMO_U3V_CloseControl(void* /*reserved*/) { return CloseNothing(); }

unsigned int LUMO_U3V_CALL LUMO_U3V_SetDetailedLog(void*, void*) { return Nothing(); }
unsigned int LUMO_U3V_CALL LUMO_U3V_GetDetailedLog(void*, void*) { return Nothing(); }

}  // extern "C"
