/* LumoError.h: why a call of libLumoUsb failed. Usable from C and C++.
 *
 * Calls keep their results (false, 0, -1, LUMO_U3V_ERROR, ...); the reason
 * for a failure can be asked afterwards:
 *   - per camera: LumoUsbManager::GetLastError(handle), the last failure of
 *     a call on that camera, from any thread;
 *   - per thread: LUMO_U3V_GetLastError, the last failure of a library call
 *     made on the calling thread.
 * A successful call leaves both as they were: they hold the last failure,
 * not the outcome of the last call. */
#ifndef LUMO_LUMO_ERROR_H
#define LUMO_LUMO_ERROR_H

#include <stdint.h>

#include "lumo/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  LUMO_ERROR_NONE = 0,         /* no call has failed */
  LUMO_ERROR_NOT_OPEN = 1,     /* the camera is registered but not open, or was closed
                                  while the call waited */
  LUMO_ERROR_REMOVED = 2,      /* the camera is unplugged (or left while the call ran) */
  LUMO_ERROR_TIMED_OUT = 3,    /* no answer, frame or bytes within the time limit */
  LUMO_ERROR_CHECK_BYTE = 4,   /* the answer came with a wrong check byte and was dropped */
  LUMO_ERROR_REFUSED = 5,      /* the camera refused the request (stalled it) */
  LUMO_ERROR_BAD_ARGUMENT = 6, /* an argument the call cannot work with */
  LUMO_ERROR_OS = 7,           /* the operating system or the driver failed; see osError */
  LUMO_ERROR_NO_CAMERA = 8,    /* the handle, device ID or index names no registered
                                  camera (or there is no manager yet) */
  LUMO_ERROR_ALL_LENT = 9,     /* every frame buffer the stream can spare is lent
                                  (lumo/Frame.h): give one back first */
  LUMO_ERROR_NOT_LENT = 10,    /* the address is no frame this camera lent (never
                                  taken, given back already, another camera's) */
  LUMO_ERROR_CALLBACK_SET = 11 /* a frame callback takes this camera's frames */
};

/* A failure: its kind and, for LUMO_ERROR_OS, the operating system's error
 * code (Windows' GetLastError values; 0 when there was none). */
typedef struct LumoLastError {
  int32_t kind;
  uint32_t osError;
} LumoLastError;

/* A short English text for a kind ("timed out"); "unknown error" for a
 * value that is none of the above. The text is static. */
LUMO_API const char* LumoErrorText(int kind);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_LUMO_ERROR_H */
