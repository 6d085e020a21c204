"""save_png: greyscale PNG files from frames, with the standard library's
zlib only (no imaging package needed)."""

import struct
import zlib

import numpy as np


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def save_png(path, image):
    """Writes a 2-D uint8 or uint16 array (or a Frame) as an 8- or 16-bit
    greyscale PNG."""
    pixels = np.asarray(getattr(image, "image", image))
    if pixels.ndim != 2 or pixels.dtype not in (np.uint8, np.dtype("<u2"), np.dtype(">u2")):
        raise ValueError("save_png wants a 2-D uint8 or uint16 image, not %s %s"
                         % (pixels.dtype, pixels.shape))
    height, width = pixels.shape
    depth = 8 if pixels.dtype == np.uint8 else 16
    samples = pixels.astype(">u2") if depth == 16 else pixels
    # Every row starts with filter type 0 (none).
    rows = np.zeros((height, 1 + width * samples.itemsize), dtype=np.uint8)
    rows[:, 1:] = np.ascontiguousarray(samples).view(np.uint8).reshape(height, -1)
    header = struct.pack(">IIBBBBB", width, height, depth, 0, 0, 0, 0)
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n")
        file.write(_chunk(b"IHDR", header))
        file.write(_chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)))
        file.write(_chunk(b"IEND", b""))
