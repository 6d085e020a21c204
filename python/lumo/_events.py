"""Callbacks from the library: cameras arriving and leaving, and the
library's console messages.

The library calls them on threads of its own. The ctypes function objects
handed to it are kept here for as long as the library may call them; the
library guarantees that a replaced callback is no longer running once the
call that replaced it returns, so the old object can go then."""

import enum

from . import _lifetime, _native
from ._errors import LumoError


class DeviceEvent(enum.IntEnum):
    """What happened to a camera (LUMO_DEVICE_ values of lumo/DeviceChange.h)."""

    ARRIVED = 1
    REMOVED = 2


def _handle_or_none(handle):
    return None if handle in (None, 0, _native.NONE_VALUE) else handle


def _text(raw):
    return raw.decode("utf-8", "replace") if raw else ""


_device_change = None  # the ctypes callback the library holds, if any
_log_sink = None


def set_device_change_callback(callback):
    """Calls callback(event, path, handle) for every camera that arrives or
    leaves: event a DeviceEvent, path the camera's device path (lower case),
    handle the camera's handle (an int; on removal None for a camera that
    was not open). None removes the callback. Needs the manager (see
    lumo.Manager)."""
    global _device_change
    if callback is None:
        function = _native.DeviceChangeCallback()  # a null function pointer
    else:

        def call(_context, event, path, handle):
            try:
                event = DeviceEvent(event)
            except ValueError:
                pass
            callback(event, _text(path), _handle_or_none(handle))

        function = _native.DeviceChangeCallback(call)
    code = _native.lib().LUMO_U3V_SetDeviceChangeCallback(function, None)
    if code != _native.OK:
        raise LumoError.from_last_error("LUMO_U3V_SetDeviceChangeCallback", code)
    _device_change = function if callback is not None else None


def set_log_sink(sink):
    """Sends the library's console messages to sink(camera, message)
    instead of standard output: camera is the handle (an int) of the camera
    a message concerns, or None; message is the library's text with its
    "\\r\\n". A sink that does nothing silences the library; None restores
    standard output. The sink may be called from several threads at once."""
    global _log_sink
    if sink is None:
        function = _native.LogSink()
    else:

        def call(_context, camera, message):
            sink(_handle_or_none(camera), _text(message))

        function = _native.LogSink(call)
    _native.lib().LUMO_U3V_SetLogSink(function, None)
    _log_sink = function if sink is not None else None


def _remove_callbacks():
    if _log_sink is not None:
        set_log_sink(None)
    if _device_change is not None:
        set_device_change_callback(None)


_lifetime.on_exit_remove_callbacks(_remove_callbacks)
