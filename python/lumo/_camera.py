"""Manager, Camera and Frame: the Pythonic face of the flat functions."""

import ctypes
import dataclasses
import time
from typing import List, NamedTuple

import numpy as np

from . import _events, _leases, _lifetime, _native
from ._errors import ErrorKind, LumoError
from ._leases import LentFrame

# Enumeration indices are positions in the driver's whole device list; the
# listing walks this many of them.
_INDEX_LIMIT = 256


class Device(NamedTuple):
    """A registered camera: its enumeration index, its device ID (an opaque
    address owned by the library) and its device path."""

    index: int
    device_id: int
    path: str


@dataclasses.dataclass(frozen=True)
class Statistics:
    """A camera's counters since it was registered (lumo/CameraStatistics.h)."""

    frames_completed: int
    frames_lost_no_buffer: int
    frames_lost_queue_full: int
    frames_incomplete: int
    blocks_received: int
    bytes_received: int
    transfer_errors: int
    command_check_errors: int
    command_timeouts: int
    removals: int
    reattaches: int


def _c_name(name):
    """frames_lost_no_buffer -> framesLostNoBuffer"""
    first, *rest = name.split("_")
    return first + "".join(part.capitalize() for part in rest)


_STATISTICS_FIELDS = [(field.name, _c_name(field.name)) for field in dataclasses.fields(Statistics)]


def _check(call, code, ok=_native.OK):
    if code != ok:
        raise LumoError.from_last_error(call, code)


class Manager:
    """The process-wide camera manager behind the flat functions.

    Making one discovers the cameras plugged in and starts the library's
    hot-plug watcher (once per process: every Manager shares them). Used as
    a context manager it closes, on leaving, the cameras opened through it.
    """

    def __init__(self):
        self._lib = _native.lib()
        self._lib.LUMO_U3V_GetManager()
        self._cameras = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the cameras opened through this manager."""
        cameras, self._cameras = self._cameras, []
        for camera in cameras:
            camera.close()

    def count(self):
        """The number of registered cameras."""
        count = ctypes.c_uint16(0)
        _check("LUMO_U3V_DiscoveryDevices", self._lib.LUMO_U3V_DiscoveryDevices(ctypes.byref(count)))
        return count.value

    def device_id(self, index):
        """The device ID registered under enumeration index `index`, or None."""
        info = _native.DeviceInfo()
        self._lib.LUMO_U3V_GetDeviceInfo(index, ctypes.byref(info))
        device_id = info.deviceId
        return None if device_id in (None, _native.NONE_VALUE) else device_id

    def devices(self) -> List[Device]:
        """The registered cameras, by enumeration index. Indices need not
        be 0, 1, 2...: they are positions in the driver's device list."""
        count = self.count()
        found = []
        for index in range(_INDEX_LIMIT):
            if len(found) == count:
                break
            device_id = self.device_id(index)
            if device_id is not None:
                path = ctypes.string_at(device_id).decode("utf-8", "replace")
                found.append(Device(index, device_id, path))
        return found

    def wait_for_cameras(self, count=1, timeout=5.0):
        """Waits until at least `count` cameras are registered (cameras
        plugged in after the manager was made arrive through the hot-plug
        watcher); returns the number registered."""
        deadline = time.monotonic() + timeout
        while True:
            registered = self.count()
            if registered >= count or time.monotonic() >= deadline:
                return registered
            time.sleep(0.01)

    def open(self, which=None) -> "Camera":
        """Opens a camera: the first one listed (which=None), the one at an
        enumeration index (int), with a device path (str) or a Device.
        A camera that is open already is handed out again, the same Camera.
        Raises LumoError when it cannot be opened."""
        if which is None:
            devices = self.devices()
            if not devices:
                raise LumoError("LUMO_U3V_OpenDevice", ErrorKind.NO_CAMERA, detail="no camera found")
            which = devices[0]
        keep = None  # a device path given as text, alive during the call
        if isinstance(which, Device):
            device_id, path = which.device_id, which.path
        elif isinstance(which, int):
            device_id = self.device_id(which)
            if device_id is None:
                raise LumoError("LUMO_U3V_GetDeviceInfo", ErrorKind.NO_CAMERA, detail="index %d" % which)
            path = ctypes.string_at(device_id).decode("utf-8", "replace")
        else:
            path = str(which).lower()
            keep = ctypes.create_string_buffer(path.encode("utf-8"))
            device_id = ctypes.addressof(keep)
        cell = ctypes.c_void_p(device_id)
        handle = ctypes.c_void_p()
        code = self._lib.LUMO_U3V_OpenDevice(ctypes.byref(cell), ctypes.byref(handle), None, None)
        del keep
        if code != _native.OK or handle.value in (None, _native.NONE_VALUE):
            raise LumoError.from_last_error("LUMO_U3V_OpenDevice", code, detail=path)
        # The library hands out an open camera's handle again: so does this.
        camera = _lifetime.open_camera(handle.value)
        if camera is None:
            camera = Camera(self, handle.value, path)
        if camera not in self._cameras:
            self._cameras.append(camera)
        return camera

    def on_device_change(self, callback):
        """See lumo.set_device_change_callback."""
        _events.set_device_change_callback(callback)


class Frame:
    """A frame handed out by Camera.grab.

    `image` is a read-only numpy view onto the library's frame buffer, not a
    copy. It stays valid until the next grab on the same camera, until
    acquisition stops or until the camera is closed; after that the buffer
    is reused or freed, and `image` raises LumoError. Use copy() to keep a
    frame longer.
    """

    def __init__(self, camera, generation, number, width, height, bytes_per_pixel, bits_per_pixel,
                 line_packet, address, array):
        self._camera = camera
        self._generation = generation
        self.number = number
        self.width = width
        self.height = height
        self.bytes_per_pixel = bytes_per_pixel
        self.bits_per_pixel = bits_per_pixel
        self.line_packet = line_packet
        self.address = address  # of the first image byte, in the library's buffer
        self._array = array

    @property
    def valid(self):
        """True while the view may be read (see the class)."""
        return self._camera is None or self._camera._generation == self._generation

    @property
    def image(self) -> np.ndarray:
        if not self.valid:
            raise LumoError("Frame.image", ErrorKind.BAD_ARGUMENT,
                            detail="frame %d was released by a later grab, stop or close" % self.number)
        return self._array

    def copy(self) -> "Frame":
        """A frame that owns its pixels and stays valid for ever."""
        pixels = np.array(self.image, copy=True)
        return Frame(None, 0, self.number, self.width, self.height, self.bytes_per_pixel,
                     self.bits_per_pixel, self.line_packet, pixels.ctypes.data, pixels)

    def __repr__(self):
        return "<lumo.Frame %d: %dx%d, %d byte(s) per pixel, %s>" % (
            self.number, self.width, self.height, self.bytes_per_pixel,
            "line-packet" if self.line_packet else "raw")


def _read_frame(image_address):
    """The frame record around an image address, and how to read its pixels.

    The record's header says where its image lies: right behind the info
    area for line-packet frames, 1 MiB + 148 bytes in for raw ones. The
    line-packet place is tried first because it lies inside the record in
    both modes; a match needs both addresses of the header to agree."""
    record = image_address - _native.LINE_IMAGE_OFFSET
    header = _native.FrameHeader.from_address(record)
    if header.imageAddress == image_address and header.infoAddress == record + _native.FRAME_HEADER_SIZE:
        bits = header.depth  # bits per pixel: up to 8 take one byte, more take two
        capacity = _native.FRAME_RECORD_SIZE - _native.LINE_IMAGE_OFFSET
        return header, True, (1 if bits < 9 else 2), bits, capacity
    record = image_address - _native.RAW_IMAGE_OFFSET
    header = _native.FrameHeader.from_address(record)
    if header.imageAddress == image_address:
        # Raw frames carry the host's pixel size setting: bytes per pixel.
        return header, False, header.depth, header.depth * 8, _native.MAX_RAW_IMAGE_BYTES
    return None


class Camera:
    """An open camera. Used as a context manager it is closed on leaving."""

    def __init__(self, manager, handle, path=None):
        self._lib = _native.lib()
        self.manager = manager
        self.handle = handle
        self.path = path
        self._open = True
        self._generation = 0  # counts grabs, stops and closes: frames from before are released
        self.frame_callback_errors = []  # exceptions the on_frame function raised, latest last
        _lifetime.track_camera(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    @property
    def is_open(self):
        return self._open

    def close(self):
        """Switches the frame callback off, stops acquisition and closes the
        camera; frames grabbed become invalid, lent frames stay lent.
        Closing twice does nothing."""
        if not self._open:
            return
        self._open = False
        self._generation += 1
        _lifetime.untrack_camera(self)
        try:
            if _leases.has_frame_handler(self.handle):
                _leases.set_frame_handler(self.handle, None, None)
        finally:
            self._lib.LUMO_U3V_CloseDevice(self.handle)

    # ---- registers and the buffer channel

    def write_register(self, address, data, timeout_ms=1000) -> bytes:
        """Writes `data` (at most 250 bytes) to a register; returns the
        camera's answer, which echoes the bytes written."""
        data = bytes(data)
        buffer = ctypes.create_string_buffer(data, max(len(data), 1))
        code = self._lib.LUMO_U3V_ControlSet(self.handle, address, buffer, len(data), timeout_ms)
        _check("LUMO_U3V_ControlSet", code)
        return buffer.raw[: len(data)]

    def read_register(self, address, n=4, timeout_ms=1000) -> bytes:
        """Reads `n` bytes of a register."""
        buffer = ctypes.create_string_buffer(max(n, 1))
        code = self._lib.LUMO_U3V_ControlRead(self.handle, address, buffer, n, timeout_ms)
        _check("LUMO_U3V_ControlRead", code)
        return buffer.raw[:n]

    def send(self, data):
        """Sends bytes through the buffer channel (at most 65535 per call)."""
        data = bytes(data)
        if len(data) > 0xFFFF:
            raise LumoError("LUMO_U3V_WriteData", ErrorKind.BAD_ARGUMENT, detail="more than 65535 bytes")
        code = self._lib.LUMO_U3V_WriteData(self.handle, len(data), data)
        _check("LUMO_U3V_WriteData", code)

    def recv(self, n=2048) -> bytes:
        """Waits up to a second for buffer-channel bytes; returns at most
        `n` of them. Raises LumoError (TIMED_OUT) when none came."""
        buffer = ctypes.create_string_buffer(max(n, 1))
        length = ctypes.c_int32(n)
        code = self._lib.LUMO_U3V_ReadData(self.handle, ctypes.byref(length), buffer)
        _check("LUMO_U3V_ReadData", code)
        return buffer.raw[: length.value]

    # ---- acquisition

    @property
    def buffer_count(self):
        """Frame buffers of the next acquisition run (default 10)."""
        count = ctypes.c_int32(0)
        self._lib.LUMO_U3V_GetBufferCount(self.handle, ctypes.byref(count))
        return count.value

    @buffer_count.setter
    def buffer_count(self, count):
        self._lib.LUMO_U3V_SetBufferCount(self.handle, count)

    @property
    def transfer_size(self):
        """Bytes per stream transfer of the next run (4096 to 4 MiB)."""
        size = ctypes.c_int32(0)
        self._lib.LUMO_U3V_GetTransferSize(self.handle, ctypes.byref(size))
        return size.value

    @transfer_size.setter
    def transfer_size(self, size):
        self._lib.LUMO_U3V_SetTransferSize(self.handle, size)

    def start(self):
        """Starts acquisition."""
        _check("LUMO_U3V_AcquisitionStart", self._lib.LUMO_U3V_AcquisitionStart(self.handle, None))

    def stop(self):
        """Stops acquisition; frames handed out become invalid."""
        self._generation += 1
        _check("LUMO_U3V_AcquisitionStop", self._lib.LUMO_U3V_AcquisitionStop(self.handle, None, None))

    def grab(self, timeout_ms=1000) -> Frame:
        """Releases the frame grabbed last on this camera and waits up to
        `timeout_ms` for the next one. Raises LumoError (TIMED_OUT,
        REMOVED, NOT_OPEN, ...) when none came."""
        self._generation += 1
        info = _native.ImageInfo()
        code = self._lib.LUMO_U3V_GetImage(self.handle, timeout_ms, ctypes.byref(info))
        _check("LUMO_U3V_GetImage", code)
        address = info.fullImageAddress if _native.POINTER_BITS == 64 else info.imageAddress
        layout = _read_frame(address)
        if layout is None:
            raise LumoError("LUMO_U3V_GetImage", ErrorKind.BAD_ARGUMENT,
                            detail="the image address lies in no frame record")
        header, line_packet, bytes_per_pixel, bits_per_pixel, capacity = layout
        width, height = header.width, header.height
        size = width * height * bytes_per_pixel
        if bytes_per_pixel == 0 or size > capacity:
            raise LumoError("LUMO_U3V_GetImage", ErrorKind.BAD_ARGUMENT,
                            detail="a %d x %d frame of %d bytes per pixel does not fit its record"
                            % (width, height, bytes_per_pixel))
        raw = (ctypes.c_uint8 * size).from_address(address)
        if bytes_per_pixel == 1:
            array = np.frombuffer(raw, dtype=np.uint8).reshape(height, width)
        elif bytes_per_pixel == 2:
            array = np.frombuffer(raw, dtype="<u2").reshape(height, width)
        else:
            array = np.frombuffer(raw, dtype=np.uint8).reshape(height, width, bytes_per_pixel)
        array.flags.writeable = False
        return Frame(self, self._generation, header.frameNumber, width, height, bytes_per_pixel,
                     bits_per_pixel, line_packet, address, array)

    # ---- lent frames

    def take(self, timeout_ms=1000) -> LentFrame:
        """Waits up to `timeout_ms` for the oldest frame and lends it: its
        bytes stay put until it is released, whatever the stream does (see
        LentFrame). Use as `with camera.take() as frame:`. Raises LumoError:
        ALL_LENT at once when the buffer count less one frames are lent
        (the one grab holds counts), CALLBACK_SET while on_frame is set,
        TIMED_OUT, REMOVED, NOT_OPEN."""
        described = _native.LumoFrame()
        code = self._lib.LUMO_U3V_TakeFrame(self.handle, timeout_ms, ctypes.byref(described))
        _check("LUMO_U3V_TakeFrame", code)
        return LentFrame(self.handle, described)

    @property
    def held_frames(self):
        """Frames the camera has lent now, of any run, grab's included."""
        count = ctypes.c_int(0)
        code = self._lib.LUMO_U3V_GetHeldFrames(self.handle, ctypes.byref(count))
        _check("LUMO_U3V_GetHeldFrames", code)
        return count.value

    def _set_frame_bytes(self, size):
        self._lib.LUMO_U3V_SetFrameBytes(self.handle, size)

    frame_bytes = property(None, _set_frame_bytes, doc="""Bytes of image per frame
        (up to 256 MiB) the buffers of the next run are made for. Without it
        the buffers grow when a larger raw frame comes, and the first frames
        of that size may be lost. Set only, on an open camera; takes effect
        at the next start.""")

    def on_frame(self, function):
        """Calls function(frame) with every frame, a LentFrame, on the
        camera's delivery thread, in order; None stops. A truthy result (or
        frame.keep()) keeps the frame lent until frame.release(); otherwise
        it is released when the function returns. While a function is set,
        take and grab raise LumoError (CALLBACK_SET). An exception of the
        function is logged ("lumo" logger) and kept in
        frame_callback_errors, and the frame released. Once on_frame
        returns, a function it replaced gets no further frame (unless it
        is called from within that function)."""
        if function is not None and not self._open:
            raise LumoError("LUMO_U3V_SetFrameCallback", ErrorKind.NOT_OPEN, detail="the camera was closed")
        _leases.set_frame_handler(self.handle, function, self.frame_callback_errors)

    # ---- diagnosis

    def statistics(self) -> Statistics:
        """The camera's counters (frames, blocks, bytes, losses, errors,
        removals, re-attaches)."""
        record = _native.CameraStatistics()
        _check("LUMO_U3V_GetStatistics", self._lib.LUMO_U3V_GetStatistics(self.handle, ctypes.byref(record)))
        return Statistics(**{name: getattr(record, c_name) for name, c_name in _STATISTICS_FIELDS})

    def __repr__(self):
        return "<lumo.Camera %s%s>" % (self.path or hex(self.handle), "" if self._open else " (closed)")
