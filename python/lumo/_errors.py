"""LumoError: a failed library call with the reason the library gives."""

import ctypes
import enum

from . import _native


class ErrorKind(enum.IntEnum):
    """Why a call failed (the LUMO_ERROR_ values of lumo/LumoError.h)."""

    NONE = 0
    NOT_OPEN = 1
    REMOVED = 2
    TIMED_OUT = 3
    CHECK_BYTE = 4
    REFUSED = 5
    BAD_ARGUMENT = 6
    OS = 7
    NO_CAMERA = 8
    ALL_LENT = 9
    NOT_LENT = 10
    CALLBACK_SET = 11


def _kind(value):
    try:
        return ErrorKind(value)
    except ValueError:
        return value


def error_text(kind):
    """The library's short English text for an error kind."""
    text = _native.lib().LumoErrorText(int(kind))
    return text.decode("ascii", "replace") if text else "unknown error"


def last_error():
    """(kind, os_error) of the last failed library call on this thread."""
    kind = ctypes.c_int(0)
    os_error = ctypes.c_uint(0)
    _native.lib().LUMO_U3V_GetLastError(ctypes.byref(kind), ctypes.byref(os_error))
    return _kind(kind.value), os_error.value


class LumoError(Exception):
    """A library call failed.

    call      the C function that failed ("LUMO_U3V_ControlRead")
    code      its result code (0x8FFF, 0x800B), or None
    kind      an ErrorKind (NOT_OPEN, REMOVED, TIMED_OUT, ...)
    os_error  the operating system's error code for ErrorKind.OS, else 0
    text      the library's text for the kind ("timed out")
    """

    def __init__(self, call, kind, os_error=0, code=None, detail=None):
        self.call = call
        self.kind = _kind(kind)
        self.os_error = os_error
        self.code = code
        self.text = error_text(kind)
        message = "%s failed: %s" % (call, self.text)
        if self.kind == ErrorKind.OS:
            message += " (error %d)" % os_error
        if detail:
            message += " (%s)" % detail
        super().__init__(message)

    @classmethod
    def from_last_error(cls, call, code=None, detail=None):
        """The error of the call that just failed on this thread."""
        kind, os_error = last_error()
        return cls(call, kind, os_error, code, detail)
