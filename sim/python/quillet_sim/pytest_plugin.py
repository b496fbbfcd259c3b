"""pytest plugin: runs the test session under the SocketCAN stand-in.

Loaded early (``-p quillet_sim.pytest_plugin``), before pytest captures output, it restarts the
same command line with the stand-in added to LD_PRELOAD when it is not there yet, so that plain
``pytest`` reaches simulated CAN interfaces from the module and from Python's ``socket``.
"""

from __future__ import annotations

import os
import sys

from quillet_sim._preload import preload_active, restart_under_preload

__all__ = ["preload_active"]


def _started_as_pytest() -> bool:
    # Only a process that is pytest itself may be restarted; pytest.main() inside another
    # program is left alone.
    program = sys.argv[0] if sys.argv else ""
    name = os.path.basename(program)
    return name in ("pytest", "py.test") or program.endswith(os.path.join("pytest", "__main__.py"))


if _started_as_pytest():
    try:
        restart_under_preload()
    except (FileNotFoundError, RuntimeError):
        pass  # the session runs without it: the tests that need it skip
