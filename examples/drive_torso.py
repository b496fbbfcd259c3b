"""Drives every joint of the torso with QuilletMotorController and prints what it commands and
what the joints report.

    python examples/drive_torso.py --serial /dev/ttyUSB0 --can can0

On the robot, run it as is. Without the robot, ./scripts/demo runs it against a virtual torso.
"""

from __future__ import annotations

import argparse
import logging
import math
import time

from quillet_motor_controller import QuilletMotorController

SERVO_JOINTS = ["left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
                "nose_top", "nose_left", "nose_right"]
NECK_JOINTS = ["neck_yaw", "neck_pitch", "neck_roll"]


def show(label: str, names: list[str], values: list[float]) -> None:
    print(f"  {label:<9}" + "  ".join(f"{n}={v:+.3f}" for n, v in zip(names, values)))


def wait_for_servos(controller: QuilletMotorController, goals: list[float], timeout: float = 3.0) -> list[float]:
    deadline = time.monotonic() + timeout
    while True:
        positions = controller.read_all_positions()
        if all(abs(p - g) < 0.02 for p, g in zip(positions, goals)) or time.monotonic() > deadline:
            return positions
        time.sleep(0.02)


def drive(controller: QuilletMotorController, serial: str | None) -> None:
    if serial:
        print("servos: reading, enabling torque, moving arms and nose")
        show("read", SERVO_JOINTS, controller.read_all_positions())
        controller.enable_torque()
        print(f"  torque enabled on all servos: {controller.is_torque_enabled()}")
        for goals in ([0.4, -0.3, -0.4, 0.3, 0.2, -0.2, 0.1], [0.0] * 7):
            show("command", SERVO_JOINTS, goals)
            controller.set_all_goal_positions(goals)
            show("reached", SERVO_JOINTS, wait_for_servos(controller, goals))
        controller.set_left_arm_position([0.5, 0.0])
        show("left arm", SERVO_JOINTS, wait_for_servos(controller, [0.5, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]))

    print("neck: homing to the nearest physical zero")
    show("read", NECK_JOINTS, controller.read_neck_positions())
    show("homed", NECK_JOINTS, controller.neck_home(speed=3.0))
    print(f"  neck torque enabled: {controller.is_neck_torque_enabled()}")

    print("neck: nodding (the pitch request of 0.6 rad is clamped to its safe range)")
    for step in range(12):
        pitch = 0.3 + 0.3 * math.sin(step * math.pi / 6)
        target = [0.2 * math.sin(step * math.pi / 12), pitch, 0.0]
        observed = controller.set_neck_position(target)
        show("command", NECK_JOINTS, target)
        show("reported", NECK_JOINTS, observed)
        time.sleep(0.05)
    controller.set_neck_pitch_position(0.6)
    time.sleep(0.2)
    show("final", NECK_JOINTS, controller.read_neck_positions())

    if serial:
        controller.disable_torque()
    controller.enable_neck(False)
    print("torque off")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="serial device of the servo bus (omit for the neck only)")
    parser.add_argument("--can", default="can0", help="SocketCAN interface of the neck")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="  log %(name)s %(levelname)s: %(message)s")

    # The end of the block releases both buses; an error on the way shows its cause in notes.
    with QuilletMotorController(args.serial, args.can) as controller:
        print(f"opened servo bus {args.serial!r} and CAN bus {args.can!r}")
        drive(controller, args.serial)
    print("buses released; done")


if __name__ == "__main__":
    main()
