"""``--sim``: a virtual torso with wire timing in place of the robot.

A program reaches the torso's CAN bus only through the SocketCAN stand-in, which the dynamic
loader maps only when the process starts: a tool started without it runs itself again under it.
"""

from __future__ import annotations

import math
import threading
from typing import Any

def run_under_preload(program: str) -> None:
    """Returns when this process runs with the stand-in; otherwise starts it again with it."""
    try:
        from quillet_sim import restart_under_preload

        restart_under_preload()
    except (ImportError, FileNotFoundError) as error:
        raise SystemExit(f"{program}: --sim needs the virtual torso of this package: {error}")
    except RuntimeError as error:
        raise SystemExit(f"{program}: {error}")


def start_torso() -> Any:
    """A running virtual torso, paced as the real wires are."""
    from quillet_sim import VirtualTorso

    return VirtualTorso(wire_timing=True).start()


class HandMover:
    """Moves the virtual joints slowly, as a person moves a robot whose torque is off, so that a
    monitor on the virtual torso has something to show. Touches the torso only, never the bus."""

    RATE = 20.0  # moves per second
    RAMP = 1.0   # seconds to reach full swing from where the joints are

    def __init__(self, torso: Any) -> None:
        self._torso = torso
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="hand-mover", daemon=True)

    def __enter__(self) -> HandMover:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def _run(self) -> None:
        t = 0.0
        try:
            while not self._stop.wait(1 / self.RATE):
                t += 1 / self.RATE
                swing = 0.5 - 0.5 * math.cos(math.pi * min(1.0, t / self.RAMP))
                for servo_id in range(1, 8):
                    steps = 2048 + swing * 400 * math.sin(0.8 * t + servo_id)
                    self._torso.servo(servo_id).set_position(round(steps))
                # Inside the neck's safety bounds: yaw +-0.5, pitch 0 to 0.45, roll +-0.4.
                self._torso.motor(1).set_position(swing * 0.3 * math.sin(0.5 * t))
                self._torso.motor(2).set_position(swing * (0.2 + 0.15 * math.sin(0.7 * t)))
                self._torso.motor(3).set_position(swing * 0.25 * math.sin(0.6 * t + 1.0))
        except Exception:  # the torso went away: the tool reports that on its own
            return
