/* DeviceChange.h: the callback through which an application learns that a
 * camera was plugged in or unplugged. Usable from C and C++.
 *
 * Registered with LumoUsbManager::SetDeviceChangeCallback or
 * LUMO_U3V_SetDeviceChangeCallback. The library calls it once per camera
 * that arrives or leaves, in the order the changes happened, one call at a
 * time, on a thread of its own (never on a caller's thread, and never while
 * it holds any lock of its own): the callback may call back into the library,
 * open the camera that arrived or take frames, for instance. A callback
 * that takes long holds back the changes reported after it, not the
 * library's handling of them.
 *
 *   event       LUMO_DEVICE_ARRIVED or LUMO_DEVICE_REMOVED
 *   devicePath  the camera's device path, lower case, NUL-terminated; it can
 *               be passed to OpenDevice. Valid during the call only.
 *   handle      arrival: the camera's handle (an open camera that came back
 *               keeps its handle and resumes by itself; a new camera is
 *               registered, not open, and OpenDevice returns this handle).
 *               Removal: the handle of an open camera, which stays
 *               registered until it returns or is closed; (void*)-1 for a
 *               camera that was not open, since it is dropped.
 *   context     the value given when the callback was registered. */
#ifndef LUMO_DEVICE_CHANGE_H
#define LUMO_DEVICE_CHANGE_H

#ifdef __cplusplus
extern "C" {
#endif

enum { LUMO_DEVICE_ARRIVED = 1, LUMO_DEVICE_REMOVED = 2 };

typedef void (*LumoDeviceChangeCallback)(void* context, int event, const char* devicePath,
                                         void* handle);

#ifdef __cplusplus
}
#endif

#endif /* LUMO_DEVICE_CHANGE_H */
