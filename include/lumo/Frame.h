/* Frame.h: frames lent to the caller, with what the library knows of them.
 * Usable from C and C++.
 *
 * A frame taken with LumoUsbManager::CameraTakeFrame (LUMO_U3V_TakeFrame)
 * is lent: its record stays the caller's, its bytes unchanged whatever
 * happens meanwhile (the stream runs on, acquisition stops, the camera is
 * closed or unplugged), until the caller gives it back with
 * CameraReleaseFrame (LUMO_U3V_ReleaseFrame), from any thread. A stopped
 * run's frame buffers live until the last of its frames is given back.
 * Every lent frame must be given back once; nothing else frees it.
 *
 * A camera lends at most its buffer count less one frames at once, the
 * frame held by CameraGetImage counted: the stream always keeps a buffer.
 *
 * Layout: the same offsets and size on 32- and 64-bit builds (each address
 * takes 8 bytes, its upper half 0 on 32-bit builds).
 *
 *   offset  size  field
 *   0       8     record             the frame record (lumo/FrameRecord.h),
 *                                    header first; what is given back
 *   8       8     image              the first image byte
 *   16      8     imageBytes         bytes of image
 *   24      8     sequence           0 for the first frame of a run, +1 for
 *                                    every frame the library saw begin
 *   32      8     lostBefore         frames lost since the frame handed out
 *                                    before this one
 *   40      8     timestampNs        when the frame's header block arrived
 *   48      8     completedNs        when its last byte arrived
 *   56      4     width              pixels per line
 *   60      4     height             lines
 *   64      4     bitsPerPixel
 *   68      4     pixelFormat        LUMO_PIXEL_MONO8 or LUMO_PIXEL_MONO16
 *                                    (the true format: a raw frame of 2
 *                                    bytes per pixel is Mono16), 0 for other
 *                                    depths
 *   72      4     mode               LUMO_FRAME_RAW or LUMO_FRAME_LINE_PACKET
 *   76      4     cameraFrameNumber  the camera's own counter (the header's
 *                                    frameNumber)
 *   80      16    reserved           0
 *
 * Times are nanoseconds of the host's steady clock, the one
 * LumoSteadyClockNs reads (monotonic; CLOCK_MONOTONIC on Linux,
 * QueryPerformanceCounter on Windows). */
#ifndef LUMO_FRAME_H
#define LUMO_FRAME_H

#include <stdint.h>

#include "lumo/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LUMO_PIXEL_MONO8 0x01080001u
#define LUMO_PIXEL_MONO16 0x01100007u

enum { LUMO_FRAME_RAW = 0, LUMO_FRAME_LINE_PACKET = 1 };

#if UINTPTR_MAX == 0xFFFFFFFFu
#define LUMO_FRAME_ADDRESS(name) \
  void* name;                    \
  uint32_t name##High;
#else
#define LUMO_FRAME_ADDRESS(name) void* name;
#endif

typedef struct LumoFrame {
  LUMO_FRAME_ADDRESS(record)
  LUMO_FRAME_ADDRESS(image)
  uint64_t imageBytes;
  uint64_t sequence;
  uint64_t lostBefore;
  int64_t timestampNs;
  int64_t completedNs;
  uint32_t width;
  uint32_t height;
  uint32_t bitsPerPixel;
  uint32_t pixelFormat;
  uint32_t mode;
  uint32_t cameraFrameNumber;
  uint32_t reserved[4];
} LumoFrame;

#undef LUMO_FRAME_ADDRESS

/* Called with each completed frame, on a delivery thread of the camera's
 * own, in order, outside every lock of the library. Return nonzero to keep
 * the frame lent (give it back later with CameraReleaseFrame /
 * LUMO_U3V_ReleaseFrame), 0 to give it back on return. `frame` itself is
 * valid during the call only. The flat family takes the same type: like
 * its device-change callback it has the platform's default calling
 * convention, also on 32-bit Windows. */
typedef int (*LumoFrameCallback)(void* context, void* handle, const LumoFrame* frame);

/* The steady clock frames are stamped with, in nanoseconds. */
LUMO_API long long LumoSteadyClockNs(void);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_FRAME_H */
