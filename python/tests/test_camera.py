"""Discovery, opening and closing, registers, the buffer channel and the
reasons calls fail."""

import ctypes

import pytest

import lumo


def test_discovers_and_opens_emulated_cameras(manager, emulated):
    devices = manager.devices()
    paths = [device.path for device in devices]
    for camera in emulated:
        assert camera.path.lower() in paths
    assert len(devices) == manager.count()
    # A device ID is the address of the path's characters.
    assert all(ctypes.string_at(d.device_id).decode() == d.path for d in devices)

    by_path = [d for d in devices if d.path == emulated[1].path.lower()][0]
    with manager.open(by_path.index) as camera:
        assert camera.is_open and camera.path == by_path.path
        assert camera.handle not in (0, lumo.NONE_VALUE)
        # Opening an open camera hands back the same camera.
        assert manager.open(by_path) is camera
    assert not camera.is_open
    with pytest.raises(lumo.LumoError) as closed:
        camera.read_register(0x20)
    assert closed.value.kind == lumo.ErrorKind.NOT_OPEN
    assert lumo.last_error() == (lumo.ErrorKind.NOT_OPEN, 0)


def test_open_failures_name_the_reason(manager):
    unused = next(i for i in range(256) if manager.device_id(i) is None)
    with pytest.raises(lumo.LumoError) as error:
        manager.open(unused)
    assert error.value.kind == lumo.ErrorKind.NO_CAMERA
    with pytest.raises(lumo.LumoError) as error:
        manager.open("\\\\?\\usb#vid_04b4&pid_00f1#nosuchcamera#{ae18aa60-7f6a-11d4-97dd-00010229b959}")
    assert error.value.kind != lumo.ErrorKind.NONE
    assert error.value.text == lumo.error_text(error.value.kind)


def test_register_round_trip_reaches_the_camera(camera, emulated):
    written = bytes([0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC])
    assert camera.write_register(0x1000, written) == written
    assert emulated[0].register(0x1000) == written
    assert camera.read_register(0x1000, len(written)) == written
    assert camera.read_register(0x1000, 2) == written[:2]


def test_buffer_channel_echoes_bytes(camera):
    message = bytes(i % 251 for i in range(700))  # several 200-byte frames
    camera.send(message)
    received = b""
    while len(received) < len(message):
        received += camera.recv(256)
    assert received == message
    with pytest.raises(lumo.LumoError) as nothing:
        camera.recv()
    assert nothing.value.kind == lumo.ErrorKind.TIMED_OUT
    assert nothing.value.code == 0x800B
