"""The grab example, run as a user runs it, in a process of its own: the
PNG it writes holds the emulator's pattern of the frame it names."""

import os
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

from lumo import emulator

PYTHON_DIR = Path(__file__).resolve().parents[1]


def _read_png(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks = 8, {}
    while position < len(data):
        (length,) = struct.unpack(">I", data[position : position + 4])
        kind = data[position + 4 : position + 8]
        body = data[position + 8 : position + 8 + length]
        (crc,) = struct.unpack(">I", data[position + 8 + length : position + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF
        chunks[kind] = chunks.get(kind, b"") + body
        position += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    return width, height, depth, colour, zlib.decompress(chunks[b"IDAT"])


def test_grab_example_saves_the_frame_as_png(tmp_path):
    if not emulator.available():
        pytest.skip("libLumoEmulator is not available in this build")
    output = tmp_path / "frame.png"
    environment = dict(os.environ)
    environment["PYTHONPATH"] = os.pathsep.join(
        [str(PYTHON_DIR)] + [p for p in [environment.get("PYTHONPATH")] if p])
    result = subprocess.run(
        [sys.executable, str(PYTHON_DIR / "examples" / "grab_png.py"), "--emulate", "-n", "5",
         "-o", str(output)],
        env=environment, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    number = int(re.search(r"last: frame (\d+), 1024 x 768, 2 byte", result.stdout).group(1))
    assert "statistics: " in result.stdout

    width, height, depth, colour, rows = _read_png(output)
    assert (width, height, depth, colour) == (1024, 768, 16, 0)
    assert len(rows) == height * (1 + width * 2)
    assert rows[0] == 0  # no filter
    # 16-bit PNG samples are big-endian; the frame's pixels little-endian.
    for pixel in range(8):
        low = emulator.raw_image_byte(number, 2 * pixel)
        high = emulator.raw_image_byte(number, 2 * pixel + 1)
        assert rows[1 + 2 * pixel : 3 + 2 * pixel] == bytes([high, low])
