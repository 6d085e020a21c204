"""What has to happen before the interpreter goes away.

The library's threads outlive the interpreter: a callback of ours they call
after it is finalized would crash the process, and an emulated camera that
streams while the process exits races with its own destruction. So at exit,
in this order: the device-change callback and the log sink are taken back,
open cameras are closed, and emulated cameras are unplugged and freed."""

import atexit
import weakref

_callbacks_off = []  # functions taking our callbacks back from the library
_open_cameras = weakref.WeakSet()
_emulated = weakref.WeakSet()


def on_exit_remove_callbacks(function):
    _callbacks_off.append(function)


def track_camera(camera):
    _open_cameras.add(camera)


def open_camera(handle):
    """The open Camera object for a handle, if there is one."""
    for camera in list(_open_cameras):
        if camera.handle == handle:
            return camera
    return None


def untrack_camera(camera):
    _open_cameras.discard(camera)


def track_emulated(device):
    _emulated.add(device)


def untrack_emulated(device):
    _emulated.discard(device)


def _shutdown():
    for function in _callbacks_off:
        try:
            function()
        except Exception:  # the process is ending: keep going
            pass
    for camera in list(_open_cameras):
        try:
            camera.close()
        except Exception:
            pass
    for device in list(_emulated):
        try:
            device.destroy()
        except Exception:
            pass


atexit.register(_shutdown)
