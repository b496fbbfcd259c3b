"""pytest plugin: runs the test session under the SocketCAN stand-in.

Loaded early (``-p quillet_sim.pytest_plugin``), before pytest captures output, it restarts the
same command line with the stand-in added to LD_PRELOAD when it is not there yet, so that plain
``pytest`` reaches simulated CAN interfaces from the module and from Python's ``socket``.
The dynamic loader reads LD_PRELOAD only when a process starts, hence the restart.
"""

from __future__ import annotations

import os
import sys

from quillet_sim._paths import PRELOAD_NAME, preload_path

_MARK = "QUILLET_SIM_PRELOAD_RESTARTED"


def _preloaded() -> bool:
    """True when the stand-in library is mapped into this process."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            return any(line.rstrip().endswith("/" + PRELOAD_NAME) for line in maps)
    except OSError:
        return False


def _started_as_pytest() -> bool:
    # Only a process that is pytest itself may be restarted; pytest.main() inside another
    # program is left alone.
    program = sys.argv[0] if sys.argv else ""
    name = os.path.basename(program)
    return name in ("pytest", "py.test") or program.endswith(os.path.join("pytest", "__main__.py"))


def _restart_under_preload() -> None:
    if _preloaded() or os.environ.get(_MARK) or not _started_as_pytest():
        return
    try:
        library = preload_path()
    except FileNotFoundError:
        return
    current = os.environ.get("LD_PRELOAD", "")
    os.environ["LD_PRELOAD"] = f"{library} {current}".strip()
    os.environ[_MARK] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(sys.executable, [sys.executable, *sys.orig_argv[1:]])


def preload_active() -> bool:
    """Whether this process runs with the SocketCAN stand-in."""
    return _preloaded()


_restart_under_preload()
