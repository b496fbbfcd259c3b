"""Where the installed package keeps its daemon and its preload library."""

from __future__ import annotations

import os

_HERE = os.path.dirname(os.path.abspath(__file__))

PRELOAD_NAME = "libquillet_socketcan.so"
DAEMON_NAME = "quillet-torso"


def preload_path() -> str:
    """Return the path of the installed SocketCAN stand-in library (for LD_PRELOAD).

    Raises FileNotFoundError when the package was installed without it.
    """
    path = os.path.join(_HERE, "lib", PRELOAD_NAME)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"SocketCAN stand-in library not installed: {path}")
    return path


def daemon_path() -> str:
    """Return the path of the installed torso daemon."""
    path = os.path.join(_HERE, "bin", DAEMON_NAME)
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"virtual torso daemon not installed: {path}")
    return path
