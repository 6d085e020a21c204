"""Frames: pixels against the emulator's patterns in both stream modes, the
zero-copy view and when it is released, and the statistics."""

import ctypes

import numpy as np
import pytest

import lumo
from lumo import emulator


def test_raw_frames_are_zero_copy_views_of_the_pattern(camera):
    camera.start()
    first = camera.grab(2000)
    assert (first.width, first.height, first.bytes_per_pixel) == (1024, 768, 2)
    assert not first.line_packet
    image = first.image
    assert image.shape == (768, 1024) and image.dtype == np.dtype("<u2")
    assert not image.flags.writeable
    # The array's memory is the library's frame buffer at the address
    # GetImage reported.
    assert image.ctypes.data == first.address
    assert ctypes.string_at(first.address, 64) == image.tobytes()[:64]
    raw = image.view(np.uint8).reshape(-1)
    for offset in (0, 1, 4095, 4096, 100_000, raw.size - 1):
        assert raw[offset] == emulator.raw_image_byte(first.number, offset), offset
    kept = first.copy()

    second = camera.grab(2000)
    assert second.number > first.number
    assert not first.valid
    with pytest.raises(lumo.LumoError):
        first.image
    assert kept.valid and kept.number == first.number
    assert kept.image.view(np.uint8).reshape(-1)[4096] == emulator.raw_image_byte(first.number, 4096)
    camera.stop()
    assert not second.valid


def test_line_packet_frames_carry_one_byte_per_pixel(camera, emulated):
    emulated[0].set_stream(emulator.LINE_PACKET)
    camera.start()
    frame = camera.grab(2000)
    assert frame.line_packet
    assert (frame.width, frame.height, frame.bytes_per_pixel, frame.bits_per_pixel) == (1000, 1000, 1, 8)
    image = frame.image
    assert image.dtype == np.uint8 and image.shape == (1000, 1000)
    assert image.ctypes.data == frame.address
    for line in (0, 1, 500, 999):
        for word in (0, 1, 250, 499):
            expected = emulator.line_word(frame.number, line, word)
            assert image[line, 2 * word] == expected & 0xFF
            assert image[line, 2 * word + 1] == expected >> 8


def test_statistics_count_what_the_camera_sent(camera, emulated):
    before = camera.statistics()
    camera.start()
    for _ in range(5):
        camera.grab(2000)
    camera.stop()
    after = camera.statistics()
    sent = emulated[0].counters()
    assert after.frames_completed >= before.frames_completed + 5
    assert after.bytes_received > before.bytes_received
    assert after.blocks_received > before.blocks_received
    # The library cannot receive more than the camera sent.
    assert after.bytes_received <= sent.bytes_sent
    assert after.blocks_received <= sent.blocks_sent
    assert after.frames_completed <= sent.frames_finished
    # Stopping may cut off the frame being received, nothing else is lost.
    assert after.transfer_errors == 0
    assert after.frames_incomplete - before.frames_incomplete <= 1


def test_grab_failures_name_the_reason(camera):
    with pytest.raises(lumo.LumoError) as error:
        camera.grab(50)
    assert error.value.call == "LUMO_U3V_GetImage"
    assert error.value.kind != lumo.ErrorKind.NONE
    assert lumo.last_error()[0] == error.value.kind
