"""A short check of an installed module on a virtual torso: what must work on a machine before
its full test suite is worth running (./scripts/aarch64 runs it under emulation).

    python scripts/smoke.py

Imports the module (the stable-ABI build), then through QuilletMotorController reads all ten
joints, commands an arm and the neck (a clamped goal, whose warning reaches Python's logging),
and runs QuilletPyControlLoop at 10 ms for a second with statistics, a queued command and a raw
read. Prints one line per step; exits 1 at the first that fails.
"""

from __future__ import annotations

import logging
import os
import sys
import time
from datetime import timedelta

from quillet_sim import VirtualTorso, restart_under_preload


def check(condition: bool, what: str) -> None:
    if not condition:
        print(f"FAILED: {what}", flush=True)
        sys.exit(1)
    print(f"ok: {what}", flush=True)


def main() -> None:
    restart_under_preload()  # the module reaches the torso's CAN bus only through the stand-in

    import quillet_motor_controller as qmc
    from quillet_motor_controller import QuilletMotorController, QuilletPyControlLoop

    check(os.path.basename(qmc.__file__) == "quillet_motor_controller.abi3.so",
          f"import {qmc.__file__} on {os.uname().machine}, Python {sys.version.split()[0]}")
    records: list[logging.LogRecord] = []
    handler = logging.Handler()
    handler.emit = records.append  # type: ignore[method-assign]
    logging.getLogger("quillet_motor_controller").addHandler(handler)

    with VirtualTorso() as torso:
        torso.servo(1).set_position(2300)
        torso.motor(2).set_position(0.25)
        controller = QuilletMotorController(torso.serial_path, torso.can_interface)
        positions = controller.read_all_positions()
        neck = controller.read_neck_positions()
        check(len(positions) == 7 and abs(positions[0] - (2300 - 2048) * 2 * 3.141592653589793 / 4096) < 1e-6
              and abs(neck[1] - 0.25) < 1e-3, f"controller read: servos {positions[:2]}..., neck {neck}")
        controller.enable_torque()
        controller.set_left_arm_position([0.3, -0.2])
        check(torso.servo(1).goal_position != 2300, "controller wrote the left arm's goals")
        controller.enable_neck(True)
        observed = controller.set_neck_yaw_position(2.0)  # beyond its bound: clamped, with a warning
        check(abs(torso.motor(1).state().last_command.position - 0.5) < 1e-3 and isinstance(observed, float),
              "neck yaw clamped to 0.5")
        check(any("neck_yaw" in r.getMessage() for r in records), "the clamp's warning reached logging")
        del controller

        loop = QuilletPyControlLoop(torso.serial_path, timedelta(milliseconds=10), can_bus=torso.can_interface,
                                    stats_pub_period=timedelta(milliseconds=100))
        loop.set_neck_pitch_position(0.1)
        time.sleep(1.0)
        stats = loop.get_stats()
        position = loop.get_last_position()
        check(stats is not None and len(stats.period) >= 50, f"10 ms loop for 1 s: {stats}")
        check(abs(position.neck[1] - 0.1) < 0.02, f"queued neck pitch reached: {position.neck}")
        check(len(loop.async_read_raw_bytes(5, 56, 2)) == 2, "raw read through the loop")
        loop.close()


if __name__ == "__main__":
    main()
