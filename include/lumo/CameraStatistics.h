/* LumoCameraStatistics: what one camera's stream and command channel have
 * done since the camera was registered. Filled by
 * LumoUsbManager::GetStatistics and LUMO_U3V_GetStatistics, at any time,
 * from any thread, open or closed, acquiring or not: each counter is read
 * on its own, so a record taken while frames arrive may show a frame in
 * one counter a moment before the next counter shows it.
 *
 * The counters only grow. They survive closing, reopening, stopping and
 * restarting, and the camera being unplugged and plugged back while open
 * (it keeps its handle). A camera that is not open when unplugged is
 * registered afresh when it returns, with counters at zero.
 *
 * Frames: every frame whose header block arrived ends in exactly one of
 * framesCompleted, framesLostNoBuffer, framesLostQueueFull and
 * framesIncomplete (the frame being received counts in none yet).
 *
 * A plain C record of 64-bit fields: the same layout (88 bytes) for 32- and
 * 64-bit programs and for C and C++ callers. */
#ifndef LUMO_CAMERA_STATISTICS_H
#define LUMO_CAMERA_STATISTICS_H

#include <stdint.h>

typedef struct LumoCameraStatistics {
  /* Frames assembled whole and queued for CameraGetImage. */
  uint64_t framesCompleted;
  /* Frames dropped because every frame buffer was taken (queued, being
   * filled, held or lent to the caller: see "Frames" in LumoUsbManager.h),
   * or a buffer could not grow to the frame's size for want of memory. */
  uint64_t framesLostNoBuffer;
  /* Frames assembled whole but dropped because the queue of frames waiting
   * for CameraGetImage was full (as many frames as the run has buffers). */
  uint64_t framesLostQueueFull;
  /* Frames that ended before all their bytes came: the next frame's header
   * came first, stream bytes were lost (a failed transfer, the library
   * falling behind), acquisition stopped or the camera was unplugged in
   * the middle of the frame, or a raw frame had more image than a frame
   * record may hold (256 MiB). */
  uint64_t framesIncomplete;
  /* Whole 4096-byte stream blocks taken from the received bytes, header
   * blocks included. */
  uint64_t blocksReceived;
  /* Bytes the stream endpoint's transfers delivered. */
  uint64_t bytesReceived;
  /* Stream transfers that failed while the camera stayed attached; the
   * bytes they would have carried are lost. (The transfers an unplug cuts
   * off are not counted: the unplug is, in removals.) */
  uint64_t transferErrors;
  /* Answers on the command channel dropped because their check byte was
   * wrong. */
  uint64_t commandCheckErrors;
  /* Register writes and reads whose answer did not come within the
   * caller's time limit (calls ended by a close or an unplug not
   * included). */
  uint64_t commandTimeouts;
  /* Times the camera was unplugged while open. */
  uint64_t removals;
  /* Times it came back and was attached again. */
  uint64_t reattaches;
} LumoCameraStatistics;

#ifdef __cplusplus
static_assert(sizeof(LumoCameraStatistics) == 88, "eleven 64-bit counters, no padding");
#else
typedef char lumo_camera_statistics_size_check[sizeof(LumoCameraStatistics) == 88 ? 1 : -1];
#endif

#endif /* LUMO_CAMERA_STATISTICS_H */
