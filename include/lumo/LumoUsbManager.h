// LumoUsbManager: the exported entry point of libLumoUsb.
//
// Constructing a manager discovers the cameras that are plugged in and
// starts watching for cameras being unplugged and plugged in again. Device
// IDs and camera handles are opaque addresses owned by the library; the
// value with all bits set (-1) means "none". A handle that names no
// registered camera (null, -1, a stale or foreign address) is simply not
// found: the call fails, nothing is read through it.
//
// Hot-plug: a camera that is unplugged while open keeps its handle; its
// calls fail at once (waiting ones end) until it is plugged in again, when
// it is re-attached and acquisition resumes without any call. A camera that
// is not open is dropped when unplugged and registered afresh, with a new
// handle, when it returns; a new camera is registered when it arrives. A
// handle kept after its camera was dropped names no camera from then on,
// never another one: no later camera gets a dropped camera's address (a
// few bytes per dropped camera stay reserved for the life of the process).
//
// The registry lists the cameras plugged in: after every arrival and
// removal each of them appears exactly once, under its current enumeration
// index (its position in the driver's device list, which shifts as other
// devices come and go), and DeviceCount counts them. An open camera that is
// away is not listed, since it has no index while unplugged; its handle
// stays valid (its calls fail with LUMO_ERROR_REMOVED) and OpenDevice with
// its device ID returns that same handle. It is listed again once it is
// back. A camera closed while away stays registered, unlisted, until it
// returns.
//
// Cameras are independent: re-attaching a camera that comes back (a device
// open that can take seconds while a camera boots) and detaching one that
// leaves run on a worker of that camera's own, and hold up no call on any
// other camera. A camera that comes back but refuses to open is tried
// again, at growing intervals up to a second, for as long as it stays
// plugged in. The notices of one camera are handled in the order they
// came.
//
// Lifetime: the registry behind a manager, its cameras and its hot-plug
// watcher live until the process ends. Destroying a manager releases
// nothing, and copies of a manager share one registry.
//
// Threads: every member function may be called from any number of threads
// at once, also on the same camera. Per camera the library serialises what
// must not overlap: open, close, start and stop of acquisition take turns,
// also with the camera's re-attach after an unplug;
// register writes and reads and buffer sends take turns on the camera's
// command channel from before their request is sent until their answer is
// taken, in the order the callers came, so each caller gets its own answer.
// A caller waits for its turn no longer than its own time limit. Closing a
// camera refuses new calls on it at once and ends calls that wait for an
// answer or for buffer bytes.
//
// Frames: CameraGetImage hands out the address of a frame record owned by
// the library (its 148-byte header is described in lumo/FrameRecord.h).
// The frame stays put, its bytes unchanged however fast the camera sends,
// until the next CameraGetImage call on the same camera begins (whatever
// that call returns), until acquisition of that camera is stopped, or
// until the camera is closed; then its buffer goes back to the camera's
// free buffers. Stopping and closing release every frame buffer of the
// run, so the address is invalid from then on. Unplugging does not: the
// frame stays put while the camera is away and after it returns, and the
// run resumes on the other buffers.
//
// One frame per camera is held this way, the one handed out last: of a
// camera's buffers (SetBufferCount) one is the caller's and the others
// receive frames; when all of those are full, further frames are lost for
// want of a free buffer (GetStatistics counts them). The rule is per
// camera, not per thread: when several threads take frames from one
// camera, each call releases the frame the previous call handed out,
// whichever thread made it, so such threads must agree among themselves
// when a frame is done with (for instance one thread takes frames and
// passes copies on).
#pragma once

#include <cstdint>

#include "lumo/CameraStatistics.h"
#include "lumo/DeviceChange.h"
#include "lumo/DeviceDescription.h"
#include "lumo/Export.h"
#include "lumo/Frame.h"
#include "lumo/LumoError.h"

class LUMO_API LumoUsbManager {
 public:
  // Discovers the cameras present now and starts the hot-plug watcher;
  // returns once the watcher is ready.
  LumoUsbManager();
  // Releases nothing (see Lifetime above).
  ~LumoUsbManager();
  // Shares the other manager's registry.
  LumoUsbManager& operator=(const LumoUsbManager& other);

  // Number of cameras plugged in and registered (see Hot-plug above).
  int DeviceCount();
  // Device ID of the camera plugged in at an enumeration index, or -1.
  // Indices are positions in the driver's whole device list now, so they
  // need not be 0, 1, 2..., and a camera's index changes when a device
  // before it leaves or arrives. An ID stays readable for the life of the
  // process, also after its camera was unplugged: opening by it finds the
  // camera that now has its path, if any.
  void* GetDeviceIDForIndex(int index);
  // Opens the camera whose device path the NUL-terminated `deviceId` names
  // and returns its handle, or -1. An open camera's handle is returned as
  // is. Opening sends nothing to the camera.
  void* OpenDevice(void* deviceId);
  // Stops acquisition, stops the camera's threads and closes its device.
  // The camera stays registered and can be opened again. False only for a
  // handle that names no registered camera.
  bool CloseDevice(void* handle);
  // Sends the start request and starts the stream threads; true when
  // acquisition runs (already or newly). False for a camera that is not
  // open, whose frame pool cannot be made (buffer count 0 or less, above
  // 1024, or more memory than there is) or that refuses the request.
  bool StartAcq(void* handle);
  // Stops acquisition (sends nothing to the camera); may take up to a few
  // seconds while the camera sends nothing. Invalidates every frame handed
  // out during the run, the one still held among them.
  bool StopAcq(void* handle);
  // Writes `length` bytes (0 to 250) to a register and copies the camera's
  // answer back into `data`. True when the answer came within `timeout`
  // milliseconds. Lengths that one frame cannot carry, or whose answer
  // could not be received, are refused without sending anything.
  bool SetupCommand(void* handle, std::int64_t address, void* data, int length, int timeout);
  // Reads a register into `data`, copying at most `length` bytes (a
  // negative length is refused). True when the answer came within
  // `timeout` milliseconds.
  bool ReadCommand(void* handle, std::int64_t address, void* data, int length, int timeout);
  // Sends `length` bytes through the buffer channel in frames of up to 200
  // bytes; each frame's transfer has `timeout` milliseconds. True only when
  // every frame was taken by the driver and completed.
  bool CameraSendBuffer(void* handle, void* buffer, int length, int timeout);
  // Waits up to `timeout` milliseconds for unread buffer-channel bytes and
  // copies at most *length of them into `buffer`; *length is set to the
  // number copied. Bytes that do not fit stay for the next call. A *length
  // of 0 or less is refused at once.
  bool CameraReadBuffer(void* handle, void* buffer, int* length, int timeout);
  // Frame buffers of the next acquisition run (default 10); 0 for a handle
  // that names no open camera.
  int GetBufferCount(void* handle);
  // Takes effect at the next StartAcq.
  void SetBufferCount(void* handle, int count);
  // Bytes per stream transfer from the next StartAcq on: a whole number of
  // 4096-byte blocks from 4096 bytes (the default) to 4 MiB; other values
  // are rounded up or bounded. Enough transfers are kept queued to hold at
  // least 256 KiB. Larger transfers wake the library less often; the
  // frames are the same, since a transfer still ends where the camera's
  // short packet ends.
  void SetTransferSize(void* handle, int bytes);
  // The transfer size the next run uses; 0 for a handle that names no open
  // camera.
  int GetTransferSize(void* handle);
  // Bytes per pixel of raw frames, bounded to 0..16 (negative values become
  // 1); takes effect at the next StartAcq.
  void SetPixelSize(void* handle, int size);
  // Releases the frame handed out last on this camera, then waits up to
  // `timeout` milliseconds for the oldest assembled frame and sets *image
  // to its frame record, which stays put until the next call (see Frames
  // above). A timeout of 0 never blocks.
  bool CameraGetImage(void* handle, void** image, unsigned int timeout);
  // Takes the oldest assembled frame, waiting up to `timeout` milliseconds,
  // and lends it to the caller: *frame describes it (lumo/Frame.h), and
  // its record stays the caller's, its bytes unchanged, until
  // CameraReleaseFrame gives it back. Fails at once with
  // LUMO_ERROR_ALL_LENT when the camera's buffer count less one frames are
  // lent already (the frame CameraGetImage holds counts as one), and with
  // LUMO_ERROR_CALLBACK_SET while a frame callback is set.
  bool CameraTakeFrame(void* handle, LumoFrame* frame, unsigned int timeout);
  // Gives back a lent frame, by its record's address (LumoFrame::record),
  // from any thread: also after acquisition stopped or the camera was
  // closed or dropped, with the handle it was taken from. An address that
  // is not lent by that camera (never taken, given back already, another
  // camera's, anything else) is refused with LUMO_ERROR_NOT_LENT and
  // changes nothing.
  bool CameraReleaseFrame(void* handle, void* record);
  // Frames lent by the camera now, the one CameraGetImage holds included;
  // -1 for a handle that names no registered camera.
  int CameraHeldFrames(void* handle);
  // Bytes of image per frame (up to 256 MiB) the buffers of the next
  // StartAcq are made for, so that no frame is lost for its size. Without
  // it a raw frame larger than the buffers hold makes them grow as the
  // stream takes them (the frame that comes first and a few after it may
  // be lost, counted in the statistics).
  void SetFrameBytes(void* handle, long long bytes);
  // Calls `callback` with `context` for every completed frame of the
  // camera, on a delivery thread of the camera's own, in order and outside
  // every lock of the library (lumo/Frame.h); null removes it. While one is
  // set, CameraGetImage and CameraTakeFrame fail with
  // LUMO_ERROR_CALLBACK_SET. Once this returns the previous callback is
  // not running (unless this is called from within it). Closing the camera
  // removes its callback. False for a handle that names no registered
  // camera.
  bool SetFrameCallback(void* handle, LumoFrameCallback callback, void* context);
  // Why the last failed call on the camera named by `handle` failed, from
  // whichever thread it was made (lumo/LumoError.h); LUMO_ERROR_NONE when
  // none has failed, LUMO_ERROR_NO_CAMERA for a handle that names no
  // registered camera. Every false, 0 or -1 a call on a registered camera
  // returns for a failure leaves its reason here, and as the calling
  // thread's last failure (LUMO_U3V_GetLastError); so do calls that find no
  // camera, on the thread only.
  LumoLastError GetLastError(void* handle);
  // Calls `callback` with `context` for every camera that arrives or
  // leaves from now on (lumo/DeviceChange.h), on a thread of the library's
  // own and outside every lock of the library; null removes it. Once this
  // returns, the previous callback is not running and is not called again
  // (unless this is called from within that callback).
  void SetDeviceChangeCallback(LumoDeviceChangeCallback callback, void* context);
  // Fills *description with what the open camera's USB device reported when
  // it was opened: descriptors, strings, endpoints and the driver's values
  // (lumo/DeviceDescription.h). Reads nothing from the camera. False for a
  // null pointer or a handle that names no open, attached camera.
  bool DescribeDevice(void* handle, LumoDeviceDescription* description);
  // Fills *statistics with the camera's counters (lumo/CameraStatistics.h):
  // frames, blocks and bytes received and lost, stream and command errors,
  // removals and re-attaches. Works on any registered camera, open or not,
  // at any time. False for a null pointer or a handle that names no
  // registered camera.
  bool GetStatistics(void* handle, LumoCameraStatistics* statistics);

 private:
  void* state_;  // the registry; shared by copies, never freed
};
