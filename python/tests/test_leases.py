"""Lent frames: bytes that stay put while the stream runs, the limit of
lent frames, release and what it ends, the frame callback, and frames that
outlive their camera."""

import threading
import time

import numpy as np
import pytest

import lumo
from lumo import _native, emulator

BUFFERS = 6
WIDTH, HEIGHT = 128, 64  # 2 bytes per pixel: four 4096-byte blocks per frame
FRAME_BYTES = WIDTH * HEIGHT * 2


@pytest.fixture
def lending(manager, emulated, camera):
    """The camera with few buffers and small frames, about 600 a second."""
    camera.buffer_count = BUFFERS
    emulated[0].set_stream(width=WIDTH, height=HEIGHT, bytes_per_second=600 * (FRAME_BYTES + 4096))
    yield camera
    # The settings outlive a close: restore them on the camera, reopened
    # if the test closed it.
    again = manager.open(emulated[0].path)
    again.buffer_count = 10
    again.frame_bytes = 0
    if again is not camera:
        again.close()


def _pattern(frame_number, size=FRAME_BYTES):
    return bytes(emulator.raw_image_byte(frame_number, i) for i in range(size))


def test_lent_frames_keep_their_bytes_while_the_stream_runs(lending, emulated):
    base = lending.held_frames
    lending.start()
    held = [lending.take(2000) for _ in range(3)]
    # The other buffers carry many frames meanwhile.
    for _ in range(40):
        with lending.take(2000) as passing:
            pass
    assert passing.sequence >= held[-1].sequence + 40
    assert lending.held_frames == base + 3
    now = lumo.steady_clock_ns()
    for before, frame in zip([None] + held, held):
        image = frame.image
        assert image.shape == (HEIGHT, WIDTH) and image.dtype == np.dtype("<u2")
        assert not image.flags.writeable and image.ctypes.data == frame.address
        assert (frame.pixel_format, frame.bits_per_pixel, frame.mode) == (_native.PIXEL_MONO16, 16, 0)
        assert image.tobytes() == _pattern(frame.camera_frame_number), frame
        assert frame.timestamp_ns <= frame.completed_ns <= now
        if before is not None:
            assert frame.sequence == before.sequence + 1 + frame.lost_before
        del image  # else it would keep the last frame lent
        frame.release()
    assert lending.held_frames == base


def test_lending_stops_one_buffer_short_and_grab_counts(lending):
    base = lending.held_frames
    lending.start()
    frames = [lending.take(2000) for _ in range(BUFFERS - 1)]
    started = time.monotonic()
    with pytest.raises(lumo.LumoError) as error:
        lending.take(3000)
    assert (error.value.kind, error.value.call) == (lumo.ErrorKind.ALL_LENT, "LUMO_U3V_TakeFrame")
    assert time.monotonic() - started < 1.0  # refused at once, not after the time limit
    frames.pop().release()
    lending.grab(2000)  # the frame grab holds is lent too
    assert lending.held_frames == base + BUFFERS - 1
    with pytest.raises(lumo.LumoError) as error:
        lending.take(100)
    assert error.value.kind == lumo.ErrorKind.ALL_LENT
    del frames
    lending.take(2000).release()


def test_release_ends_the_view_not_the_arrays_taken_from_it(lending):
    base = lending.held_frames
    lending.start()
    frame = lending.take(2000)
    rows = frame.image[1:3]
    frame.release()
    for use in (lambda: frame.image, frame.copy):
        with pytest.raises(lumo.LumoError) as error:
            use()
        assert error.value.kind == lumo.ErrorKind.NOT_LENT
    # The array taken before keeps the buffer lent and readable.
    assert frame.released and not frame.returned and lending.held_frames == base + 1
    assert rows.tobytes() == _pattern(frame.camera_frame_number)[2 * WIDTH * 1: 2 * WIDTH * 3]
    del rows
    assert frame.returned and lending.held_frames == base
    with pytest.raises(lumo.LumoError) as error:
        frame.release()
    assert error.value.kind == lumo.ErrorKind.NOT_LENT
    # Kept frames survive the with block; dropped ones go back.
    with lending.take(2000) as kept:
        kept.keep()
    lending.take(2000)
    assert lending.held_frames == base + 1 and not kept.released
    kept.release()
    assert lending.held_frames == base


def test_frame_callback_delivers_in_order_keeps_what_it_is_told_and_survives_errors(lending):
    seen, kept = [], []
    enough = threading.Event()

    def on_frame(frame):
        pixels = frame.image.view(np.uint8).reshape(-1)
        seen.append((frame.sequence, frame.lost_before,
                     pixels[4100] == emulator.raw_image_byte(frame.camera_frame_number, 4100)))
        if len(seen) >= 30:
            enough.set()
        if len(seen) == 1:
            kept.append(frame)  # and stays lent
        return len(seen) == 1

    base = lending.held_frames
    lending.start()
    lending.on_frame(on_frame)
    assert enough.wait(5)
    with pytest.raises(lumo.LumoError) as error:
        lending.take(100)
    assert error.value.kind == lumo.ErrorKind.CALLBACK_SET
    lending.on_frame(None)
    count = len(seen)
    time.sleep(0.1)
    assert len(seen) == count
    assert all(matches for _, _, matches in seen)
    for (before, _, _), (sequence, lost, _) in zip(seen, seen[1:]):
        assert sequence == before + 1 + lost
    assert lending.held_frames == base + 1 and kept[0].sequence == seen[0][0]
    assert kept[0].image.tobytes() == _pattern(kept[0].camera_frame_number)
    kept.pop().release()
    lending.take(2000).release()

    # Exceptions stay out of the library; their frames are released, so
    # that more frames come than there are buffers.
    def failing(frame):
        raise ValueError(frame.sequence)

    lending.on_frame(failing)
    errors = lending.frame_callback_errors
    deadline = time.monotonic() + 5
    while len(errors) < 3 * BUFFERS and time.monotonic() < deadline:
        time.sleep(0.01)
    lending.on_frame(None)
    assert len(errors) >= 3 * BUFFERS and all(isinstance(error, ValueError) for error in errors)
    assert lending.held_frames == base


def test_frame_bytes_sizes_the_buffers_and_frames_outlive_close(manager, lending, emulated):
    width, height = 2048, 1536  # 6 MiB of image, more than a record holds by default
    emulated[0].set_stream(width=width, height=height)
    messages = []
    lumo.set_log_sink(lambda _, text: messages.append(text))
    try:
        lending.start()
        lending.take(2000).release()
        lending.stop()
        assert any("grow" in text for text in messages)
        messages.clear()
        lending.frame_bytes = width * height * 2
        lending.start()
        frame = lending.take(2000)
        assert not any("grow" in text for text in messages)
    finally:
        lumo.set_log_sink(None)
    base = lending.held_frames
    lending.on_frame(lambda _: None)
    lending.close()
    with pytest.raises(lumo.LumoError) as error:
        lending.on_frame(lambda _: None)
    assert error.value.kind == lumo.ErrorKind.NOT_OPEN
    # Closing switched the callback off: the camera opened again lends.
    with manager.open(emulated[0].path) as again:
        again.start()
        again.take(2000).release()

    pixels = frame.image.view(np.uint8).reshape(-1)
    assert pixels.size == width * height * 2
    for offset in (0, 4095, 3 << 20, pixels.size - 1):
        assert pixels[offset] == emulator.raw_image_byte(frame.camera_frame_number, offset), offset
    del pixels
    frame.release()
    assert frame.returned and lending.held_frames == base - 1
