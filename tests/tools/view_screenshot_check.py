"""Checks a screenshot of `lumo view` on emulated cameras.

The window shows the camera's 1024 x 768 frames unscaled at the top left of
the screen (no window manager under Xvfb). Each pair of lines is one
4096-byte block of the raw pattern, 16-bit samples of which the window shows
the high byte; every block has a shift of its own, found here by trying all
256. Blocks below the overlay must match their best shift almost
everywhere; the overlay's blocks at the top must not, and must hold the
text's white.
Usage: view_screenshot_check.py SCREENSHOT.png
"""
import sys

import cv2
import numpy as np

WIDTH, HEIGHT, BLOCK = 1024, 768, 4096
TOLERANCE = 3  # 16-to-8-bit conversion may dither by a step or two


def pattern_bytes():
    """High bytes of one block's samples, for every shift: (256, 2048)."""
    offsets = np.arange(1, BLOCK, 2, dtype=np.int32)  # the odd bytes
    v = offsets[None, :] + np.arange(256, dtype=np.int32)[:, None]
    return ((v + v // 256) & 0xFF).astype(np.int16)


def main(path):
    shot = cv2.imread(path, cv2.IMREAD_COLOR)
    if shot is None:
        print(f"cannot read {path}")
        return 1
    if shot.shape[0] < HEIGHT or shot.shape[1] < WIDTH:
        print(f"screenshot of {shot.shape[1]}x{shot.shape[0]} is smaller than a frame")
        return 1
    window = shot[:HEIGHT, :WIDTH].astype(np.int16)
    b, g, r = window[..., 0], window[..., 1], window[..., 2]
    grey = np.maximum(np.abs(b - g), np.abs(g - r)) <= 2
    print(f"grey pixels: {grey.mean():.3f}")
    table = pattern_bytes()
    matched = []
    for block in range(HEIGHT // 2):
        seen = g[2 * block : 2 * block + 2].reshape(-1)
        diff = np.abs(table - seen[None, :])
        diff = np.minimum(diff, 256 - diff)  # 255 and 0 are neighbours in the ramp
        hits = (diff <= TOLERANCE).mean(axis=1)
        matched.append(hits.max())
    matched = np.array(matched)
    overlay = matched[:40]  # lines 0-79: the text and its shaded box
    below = matched[60:]  # lines 120 on
    print(f"blocks below the overlay matching the pattern: min {below.min():.3f}, "
          f"mean {below.mean():.3f}; overlay blocks: min {overlay.min():.3f}")
    white = (g[10:70, :800] >= 250) & grey[10:70, :800]
    print(f"white text pixels in the overlay band: {int(white.sum())}")
    ok = True
    if below.mean() < 0.98 or np.mean(below >= 0.95) < 0.98:
        print("the window does not show the camera's test pattern")
        ok = False
    if overlay.min() > 0.9:
        print("no overlay over the picture")
        ok = False
    if white.sum() < 500:
        print("no overlay text")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
