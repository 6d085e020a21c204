"""Two emulated cameras, plugged in before the process-wide manager exists,
shared by every test of the run (the manager lives until the process ends)."""

import pytest

import lumo
from lumo import emulator


@pytest.fixture(scope="session")
def emulated():
    if not emulator.available():
        pytest.skip("libLumoEmulator is not available in this build")
    cameras = [emulator.EmulatedCamera("PYTEST01"), emulator.EmulatedCamera("PYTEST02")]
    for camera in cameras:
        assert camera.plug()
    yield cameras
    for camera in cameras:
        camera.destroy()


@pytest.fixture(scope="session")
def manager(emulated):
    manager = lumo.Manager()
    assert manager.wait_for_cameras(len(emulated)) >= len(emulated)
    yield manager
    manager.close()


@pytest.fixture
def camera(manager, emulated):
    """The first emulated camera, open; closed and its stream settings
    restored afterwards."""
    camera = manager.open(emulated[0].path)
    yield camera
    camera.close()
    emulated[0].set_stream()
