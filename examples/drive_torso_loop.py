"""Drives the torso through QuilletPyControlLoop: a background thread reads all ten joints every
10 ms while this script queues arm, nose and neck moves and prints what the loop reports.

    python examples/drive_torso_loop.py --serial /dev/ttyUSB0 --can can0

On the robot, run it as is. Without the robot, ./scripts/demo runs it against a virtual torso.
"""

from __future__ import annotations

import argparse
import logging
import statistics
import sys
import time
from datetime import timedelta

from quillet_motor_controller import QuilletPyControlLoop, QuilletTorsoPosition

JOINTS = {
    "left_arm": ["pitch", "yaw"],
    "right_arm": ["pitch", "yaw"],
    "nose": ["top", "left", "right"],
    "neck": ["yaw", "pitch", "roll"],
}


def show(label: str, position: QuilletTorsoPosition) -> None:
    parts = []
    for group, names in JOINTS.items():
        values = getattr(position, group)
        parts.append(f"{group} " + " ".join(f"{n}={v:+.3f}" for n, v in zip(names, values)))
    print(f"  {label:<9}" + "  ".join(parts))


def poll(condition, timeout: float = 3.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)


def wait_until(loop: QuilletPyControlLoop, reached, timeout: float = 3.0) -> QuilletTorsoPosition:
    """The latest position once `reached(position)` holds, or when the time is up."""
    poll(lambda: reached(loop.get_last_position()), timeout)
    return loop.get_last_position()


def close_to(values: list[float], goals: list[float], tolerance: float = 0.02) -> bool:
    return all(abs(v - g) < tolerance for v, g in zip(values, goals))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="serial device of the servo bus (omit for the neck only)")
    parser.add_argument("--can", default="can0", help="SocketCAN interface of the neck")
    args = parser.parse_args()
    # Records on the same stream as the prints, so that they read in order.
    logging.basicConfig(level=logging.INFO, stream=sys.stdout,
                        format="  log %(name)s %(levelname)s: %(message)s")

    print("control loop: checking the robot and starting the loop thread (10 ms period)")
    # The end of the block closes the loop; a failed start-up or read shows its cause in notes.
    with QuilletPyControlLoop(args.serial, timedelta(milliseconds=10), can_bus=args.can,
                              stats_pub_period=timedelta(milliseconds=200)) as loop:
        show("first", loop.get_last_position())
        if args.serial:
            loop.enable_torque()
            poll(loop.is_torque_enabled)
            print(f"  queued: torque on; the loop reports torque enabled: {loop.is_torque_enabled()}")
            for arms, nose in (([0.4, -0.3, -0.4, 0.3], [0.2, -0.2, 0.1]), ([0.0] * 4, [0.0] * 3)):
                loop.set_arms_position(arms)
                loop.set_nose_position(nose)
                print(f"  queued: arms {arms}, nose {nose}")
                show("reported", wait_until(loop, lambda p: close_to(p.left_arm + p.right_arm + p.nose, arms + nose)))
            print(f"  nose top PID gains (P, I, D): {loop.async_read_pid_gains(5)}")

        loop.enable_neck(True)
        for neck in ([0.3, 0.2, -0.2], [0.0, 0.0, 0.0]):
            loop.set_neck_position(neck)
            print(f"  queued: neck {neck}")
            show("reported", wait_until(loop, lambda p: close_to(p.neck, neck, 0.05)))
        loop.set_neck_yaw_position(2.0)  # beyond the yaw bound: the loop clamps it to 0.5 and warns
        show("reported", wait_until(loop, lambda p: close_to(p.neck[:1], [0.5], 0.05)))
        loop.set_neck_yaw_position(0.0)
        wait_until(loop, lambda p: close_to(p.neck[:1], [0.0], 0.05))

        if args.serial:
            loop.disable_torque()
        loop.enable_neck(False)
        time.sleep(0.3)  # let the last statistics batch be published
    stats = loop.get_stats()
    ms = 1e3
    print(f"statistics: {len(stats.period)} ticks, period median {statistics.median(stats.period) * ms:.2f} ms,"
          f" read_dt median {statistics.median(stats.read_dt) * ms:.2f} ms,"
          f" {len(stats.write_dt)} commands (median {statistics.median(stats.write_dt) * ms:.2f} ms)")
    print(f"  {stats!r}")
    print("loop closed; done")


if __name__ == "__main__":
    main()
