"""Emulated cameras (libLumoEmulator, lumo/emulator/lumo_emulator.h).

An emulated camera plugs into the library's device bus and behaves like a
camera on a cable: a lumo.Manager made after it is plugged in finds it, one
made before learns of it through the hot-plug watcher
(Manager.wait_for_cameras). It answers register writes and reads, loops
buffer-channel bytes back and streams test images:

    from lumo import emulator
    camera = emulator.EmulatedCamera("LUMO0001")
    camera.plug()

Raw frames (the default: 1024 x 768, 2 bytes per pixel) carry byte i of
frame n's image as raw_image_byte(n, i); line-packet frames (1000 x 1000,
1 byte per pixel) carry line_word(n, line, word) as pixels 2 * word (low
byte) and 2 * word + 1 (high byte) of each line.
"""

import ctypes
import dataclasses
from ctypes import POINTER, c_char_p, c_int, c_uint8, c_uint16, c_uint32, c_uint64, c_void_p

from . import _library, _lifetime, _native

RAW = 0
LINE_PACKET = 1
# The emulated camera's default rate limit in bytes per second.
DEFAULT_BYTES_PER_SECOND = 400_000_000


class _Counters(ctypes.Structure):
    _fields_ = [
        (name, c_uint64)
        for name in (
            "startRequests",
            "framesStarted",
            "framesFinished",
            "blocksSent",
            "bytesSent",
            "lastFrameNumber",
            "commandFrames",
            "commandAnswers",
        )
    ]


@dataclasses.dataclass(frozen=True)
class Counters:
    """What an emulated camera has done since it was made."""

    start_requests: int
    frames_started: int
    frames_finished: int
    blocks_sent: int
    bytes_sent: int
    last_frame_number: int
    command_frames: int
    command_answers: int


_FUNCTIONS = {
    "LUMO_EMU_CreateCamera": (c_void_p, [c_char_p]),
    "LUMO_EMU_Destroy": (None, [c_void_p]),
    "LUMO_EMU_Plug": (c_int, [c_void_p]),
    "LUMO_EMU_Unplug": (c_int, [c_void_p]),
    "LUMO_EMU_IsPlugged": (c_int, [c_void_p]),
    "LUMO_EMU_DevicePath": (c_char_p, [c_void_p]),
    "LUMO_EMU_SetStream": (c_int, [c_void_p, c_int, c_uint32, c_uint32, c_uint64, c_uint64]),
    "LUMO_EMU_GetCounters": (c_int, [c_void_p, POINTER(_Counters)]),
    "LUMO_EMU_GetRegister": (c_int, [c_void_p, c_uint32, POINTER(c_uint8), c_int]),
    "LUMO_EMU_RawImageByte": (c_uint8, [c_uint32, c_uint32]),
    "LUMO_EMU_LineWord": (c_uint16, [c_uint32, c_uint32, c_uint32]),
    "LUMO_EMU_WaitForNoticesHandled": (c_int, [c_uint32]),
}

_emulator = None


def _lib():
    global _emulator
    if _emulator is None:
        _native.lib()  # libLumoUsb first: the emulator binds to that copy
        library = _library.load("LumoEmulator")
        for name, (result, arguments) in _FUNCTIONS.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        _emulator = library
    return _emulator


def available():
    """True when libLumoEmulator can be loaded."""
    try:
        _lib()
    except OSError:
        return False
    return True


def raw_image_byte(frame_number, offset):
    """Byte `offset` of raw frame `frame_number`'s image."""
    return _lib().LUMO_EMU_RawImageByte(frame_number, offset)


def line_word(frame_number, line, word):
    """Payload word `word` (0..499) of line `line` (0..999) of line-packet
    frame `frame_number`."""
    return _lib().LUMO_EMU_LineWord(frame_number, line, word)


def wait_for_notices(timeout_ms=2000):
    """Waits until the library has handled every plug and unplug so far;
    False on timeout."""
    return bool(_lib().LUMO_EMU_WaitForNoticesHandled(timeout_ms))


class EmulatedCamera:
    """One emulated camera, unplugged until plug(). Used as a context
    manager it is destroyed (unplugged and freed) on leaving."""

    def __init__(self, serial):
        self._lib = _lib()
        self._camera = self._lib.LUMO_EMU_CreateCamera(str(serial).encode("ascii"))
        if not self._camera:
            raise ValueError("cannot make an emulated camera with serial %r" % (serial,))
        self.serial = serial
        self.path = self._lib.LUMO_EMU_DevicePath(self._camera).decode("ascii")
        _lifetime.track_emulated(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.destroy()

    def __del__(self):
        try:
            self.destroy()
        except Exception:
            pass

    def _pointer(self):
        if not self._camera:
            raise ValueError("the emulated camera %s was destroyed" % self.serial)
        return self._camera

    def destroy(self):
        """Unplugs and frees the camera; later calls raise ValueError."""
        camera, self._camera = self._camera, None
        if camera:
            _lifetime.untrack_emulated(self)
            self._lib.LUMO_EMU_Destroy(camera)

    def plug(self):
        """Plugs it in; False when it is plugged in already."""
        return bool(self._lib.LUMO_EMU_Plug(self._pointer()))

    def unplug(self):
        """Pulls the cable; False when it was not plugged in."""
        return bool(self._lib.LUMO_EMU_Unplug(self._pointer()))

    @property
    def plugged(self):
        return bool(self._lib.LUMO_EMU_IsPlugged(self._pointer()))

    def set_stream(self, mode=RAW, width=1024, height=768,
                   bytes_per_second=DEFAULT_BYTES_PER_SECOND, frame_limit=0):
        """The stream from the next frame on: RAW frames of width x height
        pixels (2 bytes each) or LINE_PACKET frames (1000 x 1000, 1 byte);
        at most bytes_per_second (0: as fast as it can); frame_limit frames
        per start (0: no limit)."""
        if not self._lib.LUMO_EMU_SetStream(self._pointer(), mode, width, height,
                                            bytes_per_second, frame_limit):
            raise ValueError("stream settings refused: mode %r, %r x %r" % (mode, width, height))

    def counters(self) -> Counters:
        record = _Counters()
        self._lib.LUMO_EMU_GetCounters(self._pointer(), ctypes.byref(record))
        return Counters(*(getattr(record, name) for name, _ in _Counters._fields_))

    def register(self, address):
        """The bytes last written to a register, or None if never written."""
        buffer = (c_uint8 * 256)()
        length = self._lib.LUMO_EMU_GetRegister(self._pointer(), address, buffer, len(buffer))
        return None if length < 0 else bytes(buffer[: min(length, len(buffer))])

    def __repr__(self):
        return "<lumo.emulator.EmulatedCamera %s%s>" % (
            self.serial, "" if not self._camera else (" plugged" if self.plugged else ""))
