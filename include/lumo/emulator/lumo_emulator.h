/* lumo_emulator.h: emulated cameras for C callers and for languages that
 * load libLumoEmulator by name (Python's ctypes, .NET, ...).
 *
 * An emulated camera plugs into the library's virtual device bus: a
 * LumoUsbManager (or the flat LUMO_U3V_ family) made after it is plugged
 * finds it like a camera on a cable, and one that exists already learns of
 * it through its arrival notice. It answers register writes and reads,
 * loops buffer-channel bytes back and streams test images once started:
 *
 *   LumoEmuCamera* camera = LUMO_EMU_CreateCamera("LUMO0001");
 *   LUMO_EMU_Plug(camera);
 *   ... LUMO_U3V_DiscoveryDevices(&count); ...
 *   LUMO_EMU_Destroy(camera);  // unplugs it
 *
 * Raw frames (the default: 1024 x 768, 2 bytes per pixel) carry byte i of
 * frame n's image as LUMO_EMU_RawImageByte(n, i); line-packet frames (1000
 * x 1000, 1 byte per pixel) carry LUMO_EMU_LineWord(n, line, word) as the
 * pixels 2 * word (low byte) and 2 * word + 1 (high byte) of each line.
 *
 * The functions use the platform's default C calling convention (cdecl on
 * 32-bit Windows) and may be called from any thread. A camera pointer must
 * come from LUMO_EMU_CreateCamera and not have been destroyed; null is
 * refused (0 or -1, by function). */
#ifndef LUMO_EMULATOR_LUMO_EMULATOR_H
#define LUMO_EMULATOR_LUMO_EMULATOR_H

#include <stdint.h>

#include "lumo/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An emulated camera; owned by the caller from LUMO_EMU_CreateCamera until
 * LUMO_EMU_Destroy. */
typedef struct LumoEmuCamera LumoEmuCamera;

enum { LUMO_EMU_STREAM_RAW = 0, LUMO_EMU_STREAM_LINE_PACKET = 1 };

/* What the emulated camera has done since it was made. */
typedef struct LumoEmuCounters {
  uint64_t startRequests;   /* start requests the camera answered */
  uint64_t framesStarted;   /* frames whose first byte was sent */
  uint64_t framesFinished;  /* frames whose last block was sent */
  uint64_t blocksSent;      /* 4096-byte stream blocks sent */
  uint64_t bytesSent;       /* stream bytes sent */
  uint64_t lastFrameNumber; /* number of the frame started last (0: none yet) */
  uint64_t commandFrames;   /* command-channel frames received from the host */
  uint64_t commandAnswers;  /* command-channel frames sent to the host */
} LumoEmuCounters;

/* A camera with the given serial number (ASCII, at most 64 characters; its
 * device path ends in it), not plugged in. Null for a null or too long
 * serial. */
LUMO_EMULATOR_API LumoEmuCamera* LUMO_EMU_CreateCamera(const char* serial);
/* Unplugs the camera if it is plugged in and frees it. Null is ignored. */
LUMO_EMULATOR_API void LUMO_EMU_Destroy(LumoEmuCamera* camera);

/* Plugs the camera in: 1 done, 0 when it is plugged in already or another
 * device has its path. */
LUMO_EMULATOR_API int LUMO_EMU_Plug(LumoEmuCamera* camera);
/* Unplugs it: 1 done, 0 when it was not plugged in. */
LUMO_EMULATOR_API int LUMO_EMU_Unplug(LumoEmuCamera* camera);
/* 1 while plugged in, else 0. */
LUMO_EMULATOR_API int LUMO_EMU_IsPlugged(const LumoEmuCamera* camera);
/* The device path in the mixed case Windows reports (the library lists it
 * lower-cased); valid until the camera is destroyed. Null for null. */
LUMO_EMULATOR_API const char* LUMO_EMU_DevicePath(const LumoEmuCamera* camera);

/* The stream from the next frame on: `mode` LUMO_EMU_STREAM_RAW (frames of
 * width x height pixels, 2 bytes each) or LUMO_EMU_STREAM_LINE_PACKET
 * (always 1000 x 1000, 1 byte each; width and height ignored); at most
 * `bytesPerSecond` bytes a second (0: as fast as it can; the default is
 * 400000000); `frameLimit` frames after each start request (0: no limit).
 * 1 done, 0 for an unknown mode or a raw size of 0 or above 65535. */
LUMO_EMULATOR_API int LUMO_EMU_SetStream(LumoEmuCamera* camera, int mode, uint32_t width,
                                         uint32_t height, uint64_t bytesPerSecond,
                                         uint64_t frameLimit);

/* Fills *counters; 1 done, 0 for a null pointer. */
LUMO_EMULATOR_API int LUMO_EMU_GetCounters(const LumoEmuCamera* camera, LumoEmuCounters* counters);

/* Copies the bytes last written to register `address` into `bytes` (at
 * most `capacity`) and returns how many the register holds; -1 for a
 * register never written (or null arguments). */
LUMO_EMULATOR_API int LUMO_EMU_GetRegister(const LumoEmuCamera* camera, uint32_t address,
                                           uint8_t* bytes, int capacity);

/* Byte `offset` of raw frame `frameNumber`'s image. */
LUMO_EMULATOR_API uint8_t LUMO_EMU_RawImageByte(uint32_t frameNumber, uint32_t offset);
/* Payload word `word` (0..499) of line `line` (0..999) of line-packet frame
 * `frameNumber`: pixel 2 * word is its low byte, pixel 2 * word + 1 its
 * high byte. */
LUMO_EMULATOR_API uint16_t LUMO_EMU_LineWord(uint32_t frameNumber, uint32_t line, uint32_t word);

/* Waits until every plug and unplug notice sent so far has been handled by
 * the managers that watch for them; 1 done, 0 after `timeoutMs`. */
LUMO_EMULATOR_API int LUMO_EMU_WaitForNoticesHandled(uint32_t timeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_EMULATOR_LUMO_EMULATOR_H */
