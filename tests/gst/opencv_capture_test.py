"""OpenCV reads lumosrc through its GStreamer back end.

Every frame must decode to the emulated camera's raw pattern, in 8 and in
16 bits per pixel. The pattern of a frame is fixed by the first byte of its
first block (the frame's shift), so the check needs no frame number.
"""
import sys

import cv2
import numpy as np

BLOCK = 4096
WIDTH, HEIGHT = 1024, 768


def expected_bytes(first_byte, size):
    offset = np.arange(size, dtype=np.uint32)
    block = offset // BLOCK
    shift = (first_byte + 13 * block) & 0xFF
    x = offset % BLOCK + shift
    return ((x + x // 256) & 0xFF).astype(np.uint8)


def capture(pixel_size, frames):
    # OpenCV's appsink asks for GRAY8 (or colour) unless the pipeline's caps
    # name GRAY16_LE.
    if pixel_size == 1:
        pipeline = f"lumosrc emulate=1 emulate-pixel-size=1 num-buffers={frames} ! appsink"
    else:
        pipeline = (
            f"lumosrc emulate=1 num-buffers={frames} ! video/x-raw,format=GRAY16_LE ! appsink"
        )
    cap = cv2.VideoCapture(pipeline, cv2.CAP_GSTREAMER)
    if not cap.isOpened():
        raise AssertionError(f"OpenCV did not open: {pipeline}")
    cap.set(cv2.CAP_PROP_CONVERT_RGB, 0)
    images = []
    while True:
        ok, image = cap.read()
        if not ok:
            break
        images.append(image)
    cap.release()
    return images


def check(pixel_size):
    count = 50 if pixel_size == 1 else 12
    images = capture(pixel_size, count)
    assert len(images) == count, f"{len(images)} frames read of {count}"
    dtype = np.uint8 if pixel_size == 1 else np.uint16
    shifts = []
    for n, image in enumerate(images):
        assert image.dtype == dtype, (n, image.dtype)
        assert image.shape[:2] == (HEIGHT, WIDTH), (n, image.shape)
        raw = np.ascontiguousarray(image.reshape(HEIGHT, -1)).view(np.uint8).ravel()
        raw = raw[: WIDTH * HEIGHT * pixel_size]
        want = expected_bytes(int(raw[0]), raw.size)
        wrong = np.flatnonzero(raw != want)
        assert wrong.size == 0, f"{pixel_size} B/px frame {n}: first wrong byte at {wrong[0]}"
        shifts.append(int(raw[0]))
    # Consecutive frames differ (each frame number shifts the pattern by 7).
    assert len(set(shifts)) > 1, shifts
    print(f"{pixel_size} B/px: {len(images)} frames match the camera's pattern")


def main():
    for pixel_size in (1, 2):
        check(pixel_size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
