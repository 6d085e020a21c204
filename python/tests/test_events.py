"""Callbacks from the library's threads: cameras leaving and returning, and
the console messages."""

import queue
import time

import lumo


def _next_event(events, wanted, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            event = events.get(timeout=0.1)
        except queue.Empty:
            continue
        if event[0] == wanted:
            return event
    raise AssertionError("no %s event within %.0f s" % (wanted.name, timeout))


def test_unplug_and_replug_are_reported_and_frames_resume(manager, emulated):
    events = queue.Queue()
    manager.on_device_change(lambda event, path, handle: events.put((event, path, handle)))
    try:
        device = emulated[1]
        with manager.open(device.path) as camera:
            camera.start()
            camera.grab(2000)
            device.unplug()
            event, path, handle = _next_event(events, lumo.DeviceEvent.REMOVED)
            assert path == device.path.lower() and handle == camera.handle
            try:
                camera.grab(500)
            except lumo.LumoError as error:
                assert error.kind in (lumo.ErrorKind.REMOVED, lumo.ErrorKind.TIMED_OUT)
            device.plug()
            event, path, handle = _next_event(events, lumo.DeviceEvent.ARRIVED)
            assert path == device.path.lower() and handle == camera.handle
            # Acquisition resumes without a call: frames come again.
            deadline = time.monotonic() + 5
            while True:
                try:
                    frame = camera.grab(500)
                    break
                except lumo.LumoError:
                    assert time.monotonic() < deadline, "frames did not resume"
            assert frame.width == 1024
            statistics = camera.statistics()
            assert statistics.removals == 1 and statistics.reattaches == 1
    finally:
        manager.on_device_change(None)


def test_log_sink_receives_the_library_lines(camera):
    lines = []
    lumo.set_log_sink(lambda handle, message: lines.append((handle, message)))
    try:
        camera.send(b"hello")
        camera.recv()
    finally:
        lumo.set_log_sink(None)
    assert any(message.startswith("ioSend success send len = ") and message.endswith("\r\n")
               and handle == camera.handle for handle, message in lines), lines
    count = len(lines)
    camera.send(b"again")  # to standard output again, not to the sink
    camera.recv()
    assert len(lines) == count
