"""Finding and loading libLumoUsb and libLumoEmulator.

Each library is looked for, in this order:

1. in the directories named by the environment variable LUMO_LIBRARY_DIR
   (one directory, or several separated by os.pathsep). When the variable
   is set, a library that is not there is an error: nothing else is tried,
   so that a test run never picks up another copy by accident;
2. beside an installed prefix: in lib/ (and lib64/, bin/ on Windows) of
   each directory above this package, nearest first, so that a package
   installed under PREFIX/lib/python3.X/site-packages finds PREFIX/lib;
3. by the system's loader (LD_LIBRARY_PATH, the ld.so cache, PATH on
   Windows).

libLumoUsb is always loaded before the emulator, so that the emulator
binds to that very copy: emulated cameras plug into the device bus of the
library the flat functions use.
"""

import ctypes
import os
import sys
from pathlib import Path

IS_WINDOWS = sys.platform == "win32"
# 32-bit Windows: the LUMO_U3V_ functions are __stdcall.
IS_STDCALL = IS_WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4

if IS_WINDOWS:
    _FILE_NAMES = {"LumoUsb": "libLumoUsb.dll", "LumoEmulator": "libLumoEmulator.dll"}
    _PREFIX_DIRS = ("bin", "lib")
else:
    _FILE_NAMES = {"LumoUsb": "libLumoUsb.so.0", "LumoEmulator": "libLumoEmulator.so"}
    _PREFIX_DIRS = ("lib", "lib64")

_ENVIRONMENT = "LUMO_LIBRARY_DIR"
_PREFIX_LEVELS = 5


class LibraryNotFound(OSError):
    """A shared library of libLumoUsb could not be found or loaded."""


def _environment_dirs():
    value = os.environ.get(_ENVIRONMENT)
    if value is None:
        return None
    return [Path(part) for part in value.split(os.pathsep) if part]


def _prefix_dirs():
    here = Path(__file__).resolve().parent
    for ancestor in list(here.parents)[:_PREFIX_LEVELS]:
        for sub in _PREFIX_DIRS:
            yield ancestor / sub


def find(name):
    """The path of library `name` ("LumoUsb" or "LumoEmulator"), or its bare
    file name when it is left to the system's loader."""
    file_name = _FILE_NAMES[name]
    env_dirs = _environment_dirs()
    if env_dirs is not None:
        for directory in env_dirs:
            candidate = directory / file_name
            if candidate.is_file():
                return str(candidate)
        raise LibraryNotFound(
            "%s is not in %s=%s" % (file_name, _ENVIRONMENT, os.environ[_ENVIRONMENT])
        )
    for directory in _prefix_dirs():
        candidate = directory / file_name
        if candidate.is_file():
            return str(candidate)
    return file_name


def load(name, stdcall=False):
    """Loads library `name`; with `stdcall` on 32-bit Windows its functions
    are called as __stdcall. Raises LibraryNotFound."""
    path = find(name)
    loader = ctypes.WinDLL if stdcall and IS_STDCALL else ctypes.CDLL
    try:
        return loader(path)
    except OSError as error:
        raise LibraryNotFound(
            "cannot load %s (%s); set %s to the directory that holds it"
            % (path, error, _ENVIRONMENT)
        ) from error


def cdecl_view(library):
    """The same loaded library, its functions called as cdecl (the functions
    outside the LUMO_U3V_ family, and callbacks, use the default C calling
    convention also on 32-bit Windows)."""
    if IS_STDCALL and isinstance(library, ctypes.WinDLL):
        return ctypes.CDLL(library._name, handle=library._handle)
    return library
