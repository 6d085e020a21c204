"""lumo: USB3 industrial cameras from Python, over libLumoUsb's flat C
functions (ctypes; nothing to compile).

    import lumo
    with lumo.Manager() as manager, manager.open() as camera:
        camera.start()
        frame = camera.grab(timeout_ms=1000)
        print(frame.number, frame.image.shape, frame.image.dtype)

Frames are numpy views onto the library's frame buffers, not copies: a
frame stays valid until the next grab on the same camera, until
acquisition stops or until the camera is closed (frame.copy() keeps it).
A frame taken with camera.take() (or delivered to camera.on_frame) is lent
instead: it stays valid until it is released, whatever the camera does.
Failures raise lumo.LumoError with the library's reason (kind, text).

Without a camera, plug emulated ones first (lumo.emulator). The shared
libraries are found through LUMO_LIBRARY_DIR, an installed prefix or the
system's loader (see lumo/_library.py).
"""

from ._camera import Camera, Device, Frame, Manager, Statistics
from ._errors import ErrorKind, LumoError, error_text, last_error
from ._events import DeviceEvent, set_device_change_callback, set_log_sink
from ._leases import LentFrame
from ._library import LibraryNotFound
from ._native import NONE_VALUE
from ._png import save_png

__all__ = [
    "Camera",
    "Device",
    "DeviceEvent",
    "ErrorKind",
    "Frame",
    "LentFrame",
    "LibraryNotFound",
    "LumoError",
    "Manager",
    "NONE_VALUE",
    "Statistics",
    "error_text",
    "last_error",
    "library_version",
    "save_png",
    "set_device_change_callback",
    "set_log_sink",
    "steady_clock_ns",
]


def library_version():
    """The version of the libLumoUsb loaded ("MAJOR.MINOR.PATCH")."""
    from . import _native

    return _native.lib().LumoUsbVersion().decode("ascii")


def steady_clock_ns():
    """The host's steady clock in nanoseconds, the one lent frames are
    stamped with (LentFrame.timestamp_ns, completed_ns)."""
    from . import _native

    return _native.lib().LumoSteadyClockNs()
