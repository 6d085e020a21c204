"""ctypes declarations of libLumoUsb's C interface (lumo/lumo_u3v.h and
the headers it includes). Every function gets its exact argument and result
types: a 64-bit register address, pointer-sized cells, 16-bit results where
the header says so."""

import ctypes
from ctypes import POINTER, c_char_p, c_int, c_int32, c_int64, c_longlong, c_uint, c_uint8
from ctypes import c_uint16, c_uint32, c_uint64, c_void_p

from . import _library

POINTER_BITS = ctypes.sizeof(c_void_p) * 8
# Device IDs and camera handles with all bits set mean "none".
NONE_VALUE = (1 << POINTER_BITS) - 1

OK = 0x0000
ERROR = 0x8FFF
TIMEOUT = 0x800B

PIXEL_MONO8 = 0x01080001
PIXEL_MONO16 = 0x01100007

# LumoFrame.mode (lumo/Frame.h).
FRAME_RAW = 0
FRAME_LINE_PACKET = 1

# Frame records (lumo/FrameRecord.h).
FRAME_HEADER_SIZE = 148
FRAME_RECORD_SIZE = 0x400000
RAW_IMAGE_OFFSET = 0x100000 + FRAME_HEADER_SIZE
RAW_IMAGE_CAPACITY = FRAME_RECORD_SIZE - RAW_IMAGE_OFFSET
# Records of larger raw frames grow, up to this much image.
MAX_RAW_IMAGE_BYTES = 256 << 20
INFO_AREA_SIZE = 10000
LINE_IMAGE_OFFSET = FRAME_HEADER_SIZE + INFO_AREA_SIZE


class DeviceInfo(ctypes.Structure):
    _fields_ = [("reserved0", c_uint8 * 8), ("deviceId", c_void_p)]


class ImageInfo(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("reserved0", c_uint8 * 8),
        ("fullImageAddress", c_uint64),
        ("pixelFormat", c_uint32),
        ("zero20", c_uint32),
        ("zero24", c_uint32),
        ("width", c_uint32),
        ("height", c_uint32),
        ("reserved36", c_uint8 * 6),
        ("imageAddress", c_uint32),
    ]


class CameraStatistics(ctypes.Structure):
    _fields_ = [
        (name, c_uint64)
        for name in (
            "framesCompleted",
            "framesLostNoBuffer",
            "framesLostQueueFull",
            "framesIncomplete",
            "blocksReceived",
            "bytesReceived",
            "transferErrors",
            "commandCheckErrors",
            "commandTimeouts",
            "removals",
            "reattaches",
        )
    ]


def _frame_header_fields():
    head = [
        ("infoWord0", c_uint32),
        ("width", c_uint32),
        ("height", c_uint32),
        ("depth", c_uint32),
        ("format", c_uint32),
        ("frameNumber", c_uint32),
        ("infoWord6", c_uint32),
        ("reserved28", c_uint32),
        ("reserved32", c_uint32 * 5),
        ("infoLength", c_uint32),
        ("imageBytes", c_uint32),
        ("bufferBytes", c_uint32),
    ]
    if POINTER_BITS == 32:
        middle = [
            ("infoAddress", c_void_p),
            ("imageAddress", c_void_p),
            ("reserved72", c_uint32),
            ("reserved76", c_uint32 * 13),
        ]
    else:
        middle = [
            ("reserved64", c_uint32 * 2),
            ("reserved72", c_uint32),
            ("reserved76", c_uint32),
            ("infoAddress", c_void_p),
            ("imageAddress", c_void_p),
            ("reserved96", c_uint32 * 8),
        ]
    return head + middle + [("reserved128", c_uint32), ("reserved132", c_uint32 * 4)]


class FrameHeader(ctypes.Structure):
    _pack_ = 4
    _fields_ = _frame_header_fields()


def _address_field(name):
    """An address of LumoFrame: 8 bytes on every build, a pointer and, on
    32-bit builds, the upper half that stays 0."""
    if POINTER_BITS == 32:
        return [(name, c_void_p), (name + "High", c_uint32)]
    return [(name, c_void_p)]


class LumoFrame(ctypes.Structure):
    """A lent frame as the library describes it (lumo/Frame.h)."""

    _fields_ = _address_field("record") + _address_field("image") + [
        ("imageBytes", c_uint64),
        ("sequence", c_uint64),
        ("lostBefore", c_uint64),
        ("timestampNs", c_int64),
        ("completedNs", c_int64),
        ("width", c_uint32),
        ("height", c_uint32),
        ("bitsPerPixel", c_uint32),
        ("pixelFormat", c_uint32),
        ("mode", c_uint32),
        ("cameraFrameNumber", c_uint32),
        ("reserved", c_uint32 * 4),
    ]


# The binary layouts the library expects; a mismatch here would corrupt
# memory, so it stops the import.
assert ctypes.sizeof(DeviceInfo) == 8 + ctypes.sizeof(c_void_p)
assert DeviceInfo.deviceId.offset == 8
assert ctypes.sizeof(ImageInfo) == 46
assert ImageInfo.pixelFormat.offset == 16 and ImageInfo.width.offset == 28
assert ImageInfo.height.offset == 32 and ImageInfo.imageAddress.offset == 42
assert ctypes.sizeof(CameraStatistics) == 88
assert ctypes.sizeof(FrameHeader) == FRAME_HEADER_SIZE
assert FrameHeader.imageAddress.offset == (68 if POINTER_BITS == 32 else 88)
assert ctypes.sizeof(LumoFrame) == 96
assert LumoFrame.record.offset == 0 and LumoFrame.image.offset == 8
assert LumoFrame.imageBytes.offset == 16 and LumoFrame.sequence.offset == 24
assert LumoFrame.timestampNs.offset == 40 and LumoFrame.width.offset == 56
assert LumoFrame.pixelFormat.offset == 68 and LumoFrame.cameraFrameNumber.offset == 76
assert LumoFrame.reserved.offset == 80

# Callbacks use the default C calling convention on every platform.
DeviceChangeCallback = ctypes.CFUNCTYPE(None, c_void_p, c_int, c_char_p, c_void_p)
LogSink = ctypes.CFUNCTYPE(None, c_void_p, c_void_p, c_char_p)
# int (*)(void* context, void* handle, const LumoFrame* frame)
FrameCallback = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p, POINTER(LumoFrame))

# name: (result, argument types)
_FLAT_FUNCTIONS = {
    "LUMO_U3V_GetManager": (c_void_p, []),
    "LUMO_U3V_DiscoveryDevices": (c_uint, [POINTER(c_uint16)]),
    "LUMO_U3V_GetDeviceInfo": (c_uint, [c_uint, POINTER(DeviceInfo)]),
    "LUMO_U3V_OpenDevice": (c_uint, [POINTER(c_void_p), POINTER(c_void_p), c_void_p, c_void_p]),
    "LUMO_U3V_CloseDevice": (c_uint, [c_void_p]),
    "LUMO_U3V_ControlSet": (c_uint16, [c_void_p, c_int64, c_void_p, c_int32, c_int32]),
    "LUMO_U3V_ControlRead": (c_uint16, [c_void_p, c_int64, c_void_p, c_int32, c_int32]),
    "LUMO_U3V_ReadData": (c_uint, [c_void_p, POINTER(c_int32), c_void_p]),
    "LUMO_U3V_WriteData": (c_uint, [c_void_p, c_uint, c_void_p]),
    "LUMO_U3V_AcquisitionStart": (c_uint, [c_void_p, c_void_p]),
    "LUMO_U3V_AcquisitionStop": (c_uint, [c_void_p, c_void_p, c_void_p]),
    "LUMO_U3V_GetImage": (c_uint, [c_void_p, c_uint, POINTER(ImageInfo)]),
    "LUMO_U3V_TakeFrame": (c_uint, [c_void_p, c_uint, POINTER(LumoFrame)]),
    "LUMO_U3V_ReleaseFrame": (c_uint, [c_void_p, c_void_p]),
    "LUMO_U3V_GetHeldFrames": (c_uint, [c_void_p, POINTER(c_int)]),
    "LUMO_U3V_SetFrameBytes": (c_uint, [c_void_p, c_int64]),
    "LUMO_U3V_SetFrameCallback": (c_uint, [c_void_p, FrameCallback, c_void_p]),
    "LUMO_U3V_SetBufferCount": (c_uint, [c_void_p, c_int32]),
    "LUMO_U3V_GetBufferCount": (c_uint, [c_void_p, POINTER(c_int32)]),
    "LUMO_U3V_SetTransferSize": (c_uint, [c_void_p, c_int32]),
    "LUMO_U3V_GetTransferSize": (c_uint, [c_void_p, POINTER(c_int32)]),
    "LUMO_U3V_GetStatistics": (c_uint, [c_void_p, POINTER(CameraStatistics)]),
    "LUMO_U3V_GetLastError": (c_uint, [POINTER(c_int), POINTER(c_uint)]),
    "LUMO_U3V_SetDeviceChangeCallback": (c_uint, [DeviceChangeCallback, c_void_p]),
    "LUMO_U3V_SetLogSink": (c_uint, [LogSink, c_void_p]),
    "LUMO_U3V_OpenStream": (c_uint, [c_void_p, c_int32, POINTER(c_int32), c_void_p]),
    "LUMO_U3V_OpenControl": (c_uint, [c_int32, POINTER(c_int32)]),
    "LUMO_U3V_CloseStream": (c_uint, [c_void_p]),
    "LUMO_U3V_CloseControl": (c_uint, [c_void_p]),
    "LUMO_U3V_SetDetailedLog": (c_uint, [c_void_p, c_void_p]),
    "LUMO_U3V_GetDetailedLog": (c_uint, [c_void_p, c_void_p]),
}

_PLAIN_FUNCTIONS = {
    "LumoUsbVersion": (c_char_p, []),
    "LumoErrorText": (c_char_p, [c_int]),
    "LumoSetLogSink": (None, [LogSink, c_void_p]),
    "LumoSteadyClockNs": (c_longlong, []),
}


class _Functions:
    """The loaded library's functions, as attributes named like in C."""

    def __init__(self):
        flat = _library.load("LumoUsb", stdcall=True)
        plain = _library.cdecl_view(flat)
        for table, library in ((_FLAT_FUNCTIONS, flat), (_PLAIN_FUNCTIONS, plain)):
            for name, (result, arguments) in table.items():
                function = getattr(library, name)
                function.restype = result
                function.argtypes = arguments
                setattr(self, name, function)
        self.library = flat


_functions = None


def lib():
    """The library's functions, loaded on first use."""
    global _functions
    if _functions is None:
        _functions = _Functions()
    return _functions
