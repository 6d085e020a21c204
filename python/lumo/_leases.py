"""Frames lent by the library (lumo/Frame.h): LentFrame, and the frame
callback that hands them to Python on a camera's delivery thread.

A lent frame's bytes stay put until it is given back, from any thread, also
after acquisition stopped or the camera was closed or unplugged. What must
never happen is a numpy array reading a buffer the library has taken back
and reuses. numpy cannot revoke an array, and a memoryview cannot either
(memoryview.release() refuses while exports exist, but numpy takes no
lasting export of a memoryview, so the release would succeed under the
arrays' feet). So the frame is given back only once nothing can read it:

- the pixels are one ctypes array over the lent bytes; every numpy array
  made from them (frame.image, its slices, views and reshapes, memoryviews
  of those) keeps that ctypes array alive through its base chain;
- LentFrame.release() drops the frame's own reference and makes
  frame.image raise; a weakref.finalize on the ctypes array gives the
  frame back to the library when the last reference goes: at once when
  the caller kept no array, else when the last array is collected;
- the same finalizer gives back a frame that is simply dropped (never
  released, or kept and then forgotten).

The cost: an array kept from a released frame keeps its buffer lent, and
a camera lends only its buffer count less one, so arrays kept in bulk end
in ErrorKind.ALL_LENT. frame.copy() detaches the pixels.

A finalizer may run on any thread that runs Python code, the library's
own threads included when they call our callbacks. The library takes
frames back from any thread; giving one back takes the locks of its lease
and its camera's buffers, and the library holds none of those while it
calls the frame callback or writes a message to the log sink."""

import ctypes
import logging
import threading
import weakref

import numpy as np

from . import _lifetime, _native
from ._errors import ErrorKind, LumoError, last_error

_log = logging.getLogger("lumo")


def _give_back(release, handle, record, outcome):
    """The finalizer: gives the record back and notes how that went (the
    reason read at once, on the thread that made the call)."""
    code = release(handle, record)
    outcome.append((code, last_error() if code != _native.OK else None))


class LentFrame:
    """A frame lent by the library (Camera.take, Camera.on_frame).

    `image` is a read-only numpy view onto the lent buffer, not a copy:
    uint8 for 8-bit pixels, little-endian uint16 for Mono16, shape
    (height, width) (height, width, bytes per pixel for other depths).
    Its bytes do not change while the frame is lent, whatever the camera
    does meanwhile. Used as a context manager the frame is released on
    leaving, unless keep() was called; a frame nobody refers to any more
    is released when it is garbage-collected.

    After release() `image` and copy() raise LumoError. An array taken
    from `image` before stays readable: it keeps the buffer lent until it
    is gone itself (see `returned`).
    """

    def __init__(self, handle, described):
        self.handle = handle  # of the camera that lent the frame
        self.record = described.record or 0  # the address the library takes back
        self.address = described.image or 0  # of the first image byte
        self.image_bytes = described.imageBytes
        self.sequence = described.sequence
        self.lost_before = described.lostBefore
        self.timestamp_ns = described.timestampNs
        self.completed_ns = described.completedNs
        self.width = described.width
        self.height = described.height
        self.bits_per_pixel = described.bitsPerPixel
        self.pixel_format = described.pixelFormat
        self.mode = described.mode
        self.camera_frame_number = described.cameraFrameNumber
        self._lock = threading.Lock()
        self._kept = False
        self._outcome = []  # filled by the finalizer: [(code, reason or None)]
        self._pixels = (ctypes.c_uint8 * self.image_bytes).from_address(self.address)
        self._finalizer = weakref.finalize(self._pixels, _give_back, _native.lib().LUMO_U3V_ReleaseFrame,
                                           handle, self.record, self._outcome)
        # At exit the process ends anyway: nothing to give back then.
        self._finalizer.atexit = False
        self._array, self._shape_error = self._view()

    def _view(self):
        bytes_per_pixel = self.bits_per_pixel // 8
        size = self.width * self.height * bytes_per_pixel
        if bytes_per_pixel == 0 or size > self.image_bytes:
            return None, "a %d x %d frame of %d bits per pixel in %d bytes" % (
                self.width, self.height, self.bits_per_pixel, self.image_bytes)
        if self.pixel_format == _native.PIXEL_MONO8:
            array = np.frombuffer(self._pixels, dtype=np.uint8, count=size)
            array = array.reshape(self.height, self.width)
        elif self.pixel_format == _native.PIXEL_MONO16:
            array = np.frombuffer(self._pixels, dtype="<u2", count=size // 2)
            array = array.reshape(self.height, self.width)
        else:
            array = np.frombuffer(self._pixels, dtype=np.uint8, count=size)
            array = array.reshape(self.height, self.width, bytes_per_pixel)
        array.flags.writeable = False
        return array, None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        with self._lock:
            lent = self._pixels is not None and not self._kept
        if lent:
            self.release()

    @property
    def line_packet(self):
        return self.mode == _native.FRAME_LINE_PACKET

    @property
    def released(self):
        """True once release() was called (or the frame callback gave the
        frame up)."""
        return self._pixels is None

    @property
    def returned(self):
        """True once the library has the buffer back: after release, when
        no array of the image is left."""
        return not self._finalizer.alive

    @property
    def image(self) -> np.ndarray:
        array = self._array
        if array is None:
            if self._pixels is None:
                raise LumoError("LentFrame.image", ErrorKind.NOT_LENT,
                                detail="frame %d was released" % self.sequence)
            raise LumoError("LentFrame.image", ErrorKind.BAD_ARGUMENT, detail=self._shape_error)
        return array

    def copy(self) -> np.ndarray:
        """The image as an array of its own, valid for ever."""
        return np.array(self.image, copy=True)

    def keep(self):
        """Keeps the frame lent on leaving the with block (or after the
        frame callback returns) until release(). Returns the frame."""
        with self._lock:
            if self._pixels is None:
                raise LumoError("LentFrame.keep", ErrorKind.NOT_LENT,
                                detail="frame %d was released" % self.sequence)
            self._kept = True
        return self

    def release(self):
        """Gives the frame back: at once, or, when arrays of its image are
        still alive, as soon as the last of them is gone. Raises LumoError
        (NOT_LENT) for a frame released already, or with the library's
        reason when it refuses the frame."""
        with self._lock:
            pixels, self._pixels = self._pixels, None
            self._array = None
        if pixels is None:
            raise LumoError("LUMO_U3V_ReleaseFrame", ErrorKind.NOT_LENT,
                            detail="frame %d was released already" % self.sequence)
        del pixels  # the finalizer runs here unless an array still refers to the bytes
        if self._outcome:
            code, reason = self._outcome[0]
            if reason is not None:
                raise LumoError("LUMO_U3V_ReleaseFrame", reason[0], reason[1], code)

    def _give_up(self):
        """Releases the frame unless the caller did already; for the frame
        callback, which must not raise."""
        try:
            if self._pixels is not None:
                self.release()
        except LumoError:
            _log.exception("giving back frame %d", self.sequence)

    def __repr__(self):
        return "<lumo.LentFrame %d (camera frame %d): %dx%d, %d bits per pixel, %s%s>" % (
            self.sequence, self.camera_frame_number, self.width, self.height, self.bits_per_pixel,
            "line-packet" if self.line_packet else "raw",
            "" if self._pixels is not None else " (released)")


# ---- the frame callback

# The most exceptions of a frame callback a camera keeps.
_ERROR_LIMIT = 100


class _Handler:
    def __init__(self, function, errors):
        self.function = function
        self.errors = errors  # the camera's list of exceptions the function raised
        self.logged = False  # its first exception is logged, the others only kept


# Camera handle -> _Handler. One C callback serves every camera: it finds
# the handler by the handle the library passes, so the ctypes object the
# library calls never goes away, not even while a callback that switched
# itself off is still returning.
_handlers = {}


def _deliver(_context, handle, described):
    try:
        frame = LentFrame(handle, described.contents)
    except BaseException:  # nothing lent to Python: the library takes it back
        _log.exception("frame callback")
        return 0
    # From here the frame is Python's: it goes back through LentFrame, so
    # that an array the function kept keeps its buffer lent.
    try:
        handler = _handlers.get(handle)
        keep = False
        if handler is not None:
            try:
                keep = bool(handler.function(frame))
            except BaseException as error:
                if not handler.logged:
                    handler.logged = True
                    _log.exception("frame callback of camera 0x%x (later exceptions are kept in "
                                   "Camera.frame_callback_errors only)", handle)
                del handler.errors[: max(0, len(handler.errors) - _ERROR_LIMIT + 1)]
                handler.errors.append(error)
                keep = False
        if keep:
            frame._kept = True
        elif not frame._kept:
            frame._give_up()
    except BaseException:
        _log.exception("frame callback")
    return 1


_callback = _native.FrameCallback(_deliver)
_no_callback = _native.FrameCallback()  # a null function pointer


def _set(handle, function):
    code = _native.lib().LUMO_U3V_SetFrameCallback(handle, function, None)
    if code != _native.OK:
        raise LumoError.from_last_error("LUMO_U3V_SetFrameCallback", code)


def set_frame_handler(handle, function, errors):
    """Calls function(frame) with every frame of the camera; None stops.
    The library's callback is switched off before the handler changes, so
    that once this returns an old function gets no frame (unless this is
    called from within it)."""
    if handle in _handlers or function is None:
        _set(handle, _no_callback)
        _handlers.pop(handle, None)
    if function is not None:
        _handlers[handle] = _Handler(function, errors)
        try:
            _set(handle, _callback)
        except LumoError:
            _handlers.pop(handle, None)
            raise


def has_frame_handler(handle):
    return handle in _handlers


def _remove_all():
    for handle in list(_handlers):
        try:
            set_frame_handler(handle, None, None)
        except LumoError:
            pass


_lifetime.on_exit_remove_callbacks(_remove_all)
