/* lumo_u3v.h: the flat LUMO_U3V_ function family of libLumoUsb, for C and
 * C++ callers.
 *
 * The family works on one LumoUsbManager per process. LUMO_U3V_GetManager
 * or LUMO_U3V_DiscoveryDevices creates it on first use (which enumerates
 * the cameras and starts the hot-plug watcher); it lives until the process
 * ends. Every function that needs it returns LUMO_U3V_ERROR until then.
 * Creation is guarded, so concurrent first calls still build one manager.
 *
 * Device IDs and camera handles are the manager's: opaque addresses owned
 * by the library, all bits set ((void*)-1) meaning "none". A handle is
 * compared by value with the registered cameras and never read through.
 *
 * Results: LUMO_U3V_OK, LUMO_U3V_ERROR for an impossible or failed call,
 * LUMO_U3V_TIMEOUT for a failed data call (ReadData, WriteData, GetImage).
 * A null pointer where the function itself would store or read a cell or
 * record is refused with LUMO_U3V_ERROR (LUMO_U3V_GetBufferCount, whose
 * result is always LUMO_U3V_OK, then stores nothing); the record of
 * LUMO_U3V_GetImage may be null.
 *
 * Calling convention: __stdcall on 32-bit Windows, the platform's default
 * elsewhere. On 32-bit builds every argument takes 4 bytes except the 64-bit
 * register address of ControlSet/ControlRead, which takes 8; reserved
 * arguments are pointer-sized and ignored.
 *
 * Threads: after the manager exists, every function may be called from any
 * thread; the manager serialises what must not overlap. */
#ifndef LUMO_LUMO_U3V_H
#define LUMO_LUMO_U3V_H

#include <stdint.h>

#include "lumo/CameraStatistics.h"
#include "lumo/DeviceChange.h"
#include "lumo/Export.h"
#include "lumo/Frame.h"
#include "lumo/Log.h"
#include "lumo/LumoError.h"

#if defined(_WIN32) && !defined(_WIN64)
#define LUMO_U3V_CALL __stdcall
#else
#define LUMO_U3V_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes (GenCP status values for success, a generic error and a
 * message timeout). */
#define LUMO_U3V_OK 0x0000u
#define LUMO_U3V_ERROR 0x8FFFu
#define LUMO_U3V_TIMEOUT 0x800Bu

/* Pixel formats reported in LUMO_U3V_ImageInfo (GenICam PFNC codes). */
#define LUMO_U3V_PIXEL_MONO8 0x01080001u
#define LUMO_U3V_PIXEL_MONO16 0x01100007u

/* Filled by LUMO_U3V_GetDeviceInfo. Only the device ID is written.
 *
 *   offset  size             field
 *   0       8                (not written)
 *   8       sizeof(void*)    deviceId: 4 bytes on 32-bit builds, 8 bytes on
 *                            64-bit builds, because it holds an address
 *
 * The field sits at its natural alignment on both word sizes, so the struct
 * needs no packing and &info.deviceId can be handed to LUMO_U3V_OpenDevice. */
typedef struct LUMO_U3V_DeviceInfo {
  uint8_t reserved0[8];
  void* deviceId;
} LUMO_U3V_DeviceInfo;

#pragma pack(push, 1)

/* Filled by LUMO_U3V_GetImage; packed, the offsets are fixed.
 *
 *   offset  size  field             content
 *   0       8     (not written)
 *   8       8     fullImageAddress  64-bit builds: the image's address;
 *                                   32-bit builds: not written
 *   16      4     pixelFormat       LUMO_U3V_PIXEL_MONO8 when the frame's
 *                                   depth, read as a signed 32-bit value, is 8
 *                                   or less; LUMO_U3V_PIXEL_MONO16 above
 *   20      4     zero20            0
 *   24      4     zero24            0
 *   28      4     width             pixels per line
 *   32      4     height            lines
 *   36      6     (not written)
 *   42      4     imageAddress      the image's address when it fits in 32
 *                                   bits (always on 32-bit builds), else 0
 *
 * A 64-bit image address is never cut down to 32 bits: on 64-bit builds
 * read fullImageAddress. The image lies in a frame buffer owned by the
 * library. It stays put, its bytes unchanged however fast the camera
 * sends, until the next LUMO_U3V_GetImage call on the same camera begins
 * (whatever that call returns), until acquisition of that camera stops, or
 * until the camera is closed: then the buffer goes back to the camera's
 * free buffers (after a stop or close the address is invalid). An unplug
 * does not release it. The rule is per camera, not per thread: with
 * several threads taking images from one camera, each call releases the
 * image the previous call handed out, whichever thread made it. One
 * buffer of the camera's count is thus held by the caller and the others
 * receive frames. */
typedef struct LUMO_U3V_ImageInfo {
  uint8_t reserved0[8];
  uint64_t fullImageAddress;
  uint32_t pixelFormat;
  uint32_t zero20;
  uint32_t zero24;
  uint32_t width;
  uint32_t height;
  uint8_t reserved36[6];
  uint32_t imageAddress;
} LUMO_U3V_ImageInfo;

#pragma pack(pop)

/* ---- the manager and its cameras */

/* Creates the process-wide manager if there is none; returns its address
 * (a LumoUsbManager*). */
LUMO_API void* LUMO_U3V_CALL LUMO_U3V_GetManager(void);

/* Creates the manager if there is none and stores the number of registered
 * cameras, low 16 bits, in *count. Enumerates nothing again. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_DiscoveryDevices(uint16_t* count);

/* Stores the device ID of the camera registered under enumeration index
 * `index` (low 16 bits used) in info->deviceId; all bits set when no camera
 * has that index. Returns LUMO_U3V_OK in both cases. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetDeviceInfo(unsigned int index,
                                                           LUMO_U3V_DeviceInfo* info);

/* Opens the camera whose device ID *deviceId holds and stores its handle in
 * *handle; all bits set when it could not be opened. Returns LUMO_U3V_OK in
 * both cases. Both cells are pointer-sized. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_OpenDevice(void* const* deviceId, void** handle,
                                                        void* reserved1, void* reserved2);

/* Closes the camera (stopping its acquisition); LUMO_U3V_OK whatever the
 * outcome. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_CloseDevice(void* handle);

/* ---- registers and the buffer channel */

/* Writes `length` bytes from `data` to the register at `address` and copies
 * the camera's answer back into `data`, waiting up to `timeoutMs`. */
LUMO_API uint16_t LUMO_U3V_CALL LUMO_U3V_ControlSet(void* handle, int64_t address, void* data,
                                                    int32_t length, int32_t timeoutMs);

/* Reads the register at `address`, copying at most `length` bytes into
 * `data`, waiting up to `timeoutMs`. */
LUMO_API uint16_t LUMO_U3V_CALL LUMO_U3V_ControlRead(void* handle, int64_t address, void* data,
                                                     int32_t length, int32_t timeoutMs);

/* Waits up to 1000 ms for bytes of the buffer channel and copies at most
 * *length of them to `destination`. On success *length holds the number
 * copied; on LUMO_U3V_TIMEOUT it is left as it was. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_ReadData(void* handle, int32_t* length,
                                                      void* destination);

/* Sends the low 16 bits of `length` bytes from `source` through the buffer
 * channel, each frame's transfer within 1000 ms; LUMO_U3V_TIMEOUT unless
 * every byte was sent. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_WriteData(void* handle, unsigned int length,
                                                       const void* source);

/* ---- acquisition and images */

LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_AcquisitionStart(void* handle, void* reserved);
/* Invalidates every image handed out during the run, the one held among
 * them. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_AcquisitionStop(void* handle, void* reserved1,
                                                             void* reserved2);

/* Releases the image handed out last on this camera, then takes the oldest
 * complete frame, waiting up to `timeoutMs`, and describes it in *info
 * (see LUMO_U3V_ImageInfo); it stays put until the next call. With a null
 * `info` the frame is taken and dropped. LUMO_U3V_TIMEOUT when no frame
 * came. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetImage(void* handle, unsigned int timeoutMs,
                                                      LUMO_U3V_ImageInfo* info);

/* ---- lent frames (lumo/Frame.h) */

/* LumoUsbManager::CameraTakeFrame: waits up to timeoutMs for the oldest
 * assembled frame and lends it, described in *frame. LUMO_U3V_OK, or
 * LUMO_U3V_TIMEOUT when no frame could be lent (the reason:
 * LUMO_U3V_GetLastError); LUMO_U3V_ERROR for a null record or no manager. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_TakeFrame(void* handle, unsigned int timeoutMs,
                                                       LumoFrame* frame);
/* Gives back the lent frame whose record is at `record` (LumoFrame::record),
 * from any thread, also after the camera was stopped, closed or dropped.
 * LUMO_U3V_ERROR, changing nothing, for an address the camera has not lent. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_ReleaseFrame(void* handle, void* record);
/* Stores the number of frames the camera has lent now (the one
 * LUMO_U3V_GetImage holds included) in *count. LUMO_U3V_ERROR for a null
 * pointer or a handle that names no registered camera. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetHeldFrames(void* handle, int* count);
/* Bytes of image per frame the buffers of the camera's next run are made
 * for (LumoUsbManager::SetFrameBytes). Acts only on an open camera; always
 * LUMO_U3V_OK. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetFrameBytes(void* handle, int64_t bytes);
/* LumoUsbManager::SetFrameCallback; LUMO_U3V_ERROR for a handle that names
 * no registered camera or no manager. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetFrameCallback(void* handle,
                                                              LumoFrameCallback callback,
                                                              void* context);

/* Frame buffers of the camera's next acquisition run. Both act only on a
 * handle that names an open camera; otherwise they touch nothing, not even
 * *count. Both always return LUMO_U3V_OK. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetBufferCount(void* handle, int32_t count);
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetBufferCount(void* handle, int32_t* count);

/* Bytes per stream transfer of the camera's next acquisition run: a whole
 * number of 4096-byte blocks from 4096 (the default) to 4 MiB; other values
 * are rounded up or bounded, and the getter reports the size in use. As
 * the buffer-count pair: both act only on a handle that names an open
 * camera, otherwise touch nothing, and always return LUMO_U3V_OK. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetTransferSize(void* handle, int32_t bytes);
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetTransferSize(void* handle, int32_t* bytes);

/* ---- statistics */

/* Fills *statistics with the counters of the camera named by `handle`
 * (see lumo/CameraStatistics.h): frames, blocks and bytes received and
 * lost, stream and command errors, removals and re-attaches. Works on any
 * registered camera, open or not, at any time. LUMO_U3V_ERROR for a null
 * pointer, a handle that names no registered camera, or no manager yet. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetStatistics(void* handle,
                                                           LumoCameraStatistics* statistics);

/* ---- diagnosis: why calls failed, device changes, messages */

/* Stores the kind (a LUMO_ERROR_ value, lumo/LumoError.h) and, for
 * LUMO_ERROR_OS, the operating system's error code of the last failed
 * library call made on the calling thread; LUMO_ERROR_NONE when none has
 * failed. Also a call that returns LUMO_U3V_OK may leave a reason here
 * (LUMO_U3V_OpenDevice that could not open, LUMO_U3V_GetDeviceInfo for an
 * index with no camera). A successful call leaves it as it was. Needs no
 * manager; LUMO_U3V_ERROR for a null pointer. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetLastError(int* kind, unsigned int* osError);

/* Registers the process-wide manager's device-change callback (see
 * lumo/DeviceChange.h); null removes it. LUMO_U3V_ERROR while there is no
 * manager. */
LUMO_API unsigned int LUMO_U3V_CALL
LUMO_U3V_SetDeviceChangeCallback(LumoDeviceChangeCallback callback, void* context);

/* LumoSetLogSink (lumo/Log.h); always LUMO_U3V_OK, needs no manager. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetLogSink(LumoLogSink sink, void* context);

/* ---- stream and control channels: nothing to open or close */

/* Store `value` in *cell and return LUMO_U3V_OK; need no manager. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_OpenStream(void* reserved1, int32_t value,
                                                        int32_t* cell, void* reserved2);
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_OpenControl(int32_t value, int32_t* cell);
/* Return LUMO_U3V_OK; close nothing. */
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_CloseStream(void* reserved);
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_CloseControl(void* reserved);

/* ---- settings without effect: return LUMO_U3V_OK and touch nothing, not
 * even their pointer arguments */

LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_SetDetailedLog(void* reserved1, void* reserved2);
LUMO_API unsigned int LUMO_U3V_CALL LUMO_U3V_GetDetailedLog(void* reserved1, void* reserved2);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_LUMO_U3V_H */
