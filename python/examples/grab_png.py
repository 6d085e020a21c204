#!/usr/bin/env python3
"""Grabs frames from the first camera, prints the rate and the camera's
statistics, and saves the last frame as a PNG.

    python3 grab_png.py [--emulate] [-n FRAMES] [-o FILE.png] [--line]

With --emulate, or when no camera is found, it plugs an emulated camera
first (--line: the emulated camera sends line-packet frames).
"""

import argparse
import sys
import time

import lumo
from lumo import emulator


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--emulate", action="store_true", help="use an emulated camera")
    parser.add_argument("--line", action="store_true", help="emulated camera: line-packet frames")
    parser.add_argument("-n", "--frames", type=int, default=20, help="frames to grab (default 20)")
    parser.add_argument("-o", "--output", default="frame.png", help="PNG file (default frame.png)")
    args = parser.parse_args()

    # Emulated cameras plugged in before the manager is made are found like
    # cameras on a cable; one made before learns of them as they arrive.
    fake = None
    if args.emulate:
        fake = emulator.EmulatedCamera("PYDEMO01")
        fake.plug()
    manager = lumo.Manager()
    if manager.count() == 0 and fake is None and emulator.available():
        print("no camera found: using an emulated camera")
        fake = emulator.EmulatedCamera("PYDEMO01")
        fake.plug()
        manager.wait_for_cameras(1)
    if fake is not None and args.line:
        fake.set_stream(emulator.LINE_PACKET)

    for device in manager.devices():
        print("camera at index %d: %s" % (device.index, device.path))
    try:
        with manager.open() as camera:
            camera.start()
            started = time.monotonic()
            for _ in range(args.frames):
                frame = camera.grab(timeout_ms=2000)
            seconds = time.monotonic() - started
            # The frame is a view onto the library's buffer: save it before
            # the next grab, stop or close.
            lumo.save_png(args.output, frame.image)
            camera.stop()
            print("%d frames in %.2f s (%.1f frames/s); last: frame %d, %d x %d, %d byte(s) per pixel"
                  % (args.frames, seconds, args.frames / seconds, frame.number, frame.width,
                     frame.height, frame.bytes_per_pixel))
            print("saved %s" % args.output)
            statistics = camera.statistics()
            print("statistics: %d frames completed, %d lost, %d incomplete, %.1f MB received"
                  % (statistics.frames_completed,
                     statistics.frames_lost_no_buffer + statistics.frames_lost_queue_full,
                     statistics.frames_incomplete, statistics.bytes_received / 1e6))
    except lumo.LumoError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        if fake is not None:
            fake.destroy()
    return 0


if __name__ == "__main__":
    sys.exit(main())
