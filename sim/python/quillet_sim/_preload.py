"""Running a Python program under the SocketCAN stand-in.

The dynamic loader reads LD_PRELOAD only when a process starts: a program that finds the stand-in
missing starts itself again, the same command line, with it added.
"""

from __future__ import annotations

import os
import sys

from quillet_sim._paths import PRELOAD_NAME, preload_path

# Set on the run that was started again, so that a stand-in that fails to load ends the program
# instead of starting it over and over.
_RESTARTED = "QUILLET_SIM_PRELOAD_RESTARTED"


def preload_active() -> bool:
    """Whether the SocketCAN stand-in is mapped into this process."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            return any(line.rstrip().endswith("/" + PRELOAD_NAME) for line in maps)
    except OSError:
        return False


def restart_under_preload() -> None:
    """Return when this process runs with the SocketCAN stand-in; otherwise start it again with it.

    Raises FileNotFoundError when the package was installed without the library, and
    RuntimeError when this run was already started again for it and it still did not load.
    """
    library = preload_path()
    if preload_active():
        # Children that this run starts without the stand-in may start themselves again.
        os.environ.pop(_RESTARTED, None)
        return
    if os.environ.get(_RESTARTED):
        raise RuntimeError(f"the SocketCAN stand-in {library} did not load")
    os.environ["LD_PRELOAD"] = f"{library} {os.environ.get('LD_PRELOAD', '')}".strip()
    os.environ[_RESTARTED] = "1"
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(sys.executable, [sys.executable, *sys.orig_argv[1:]])
