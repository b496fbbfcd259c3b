"""Runs the two sides of the comparison as separate processes against one virtual torso, and
checks that the peer client reads and writes what the module does.

Each call starts a fresh worker (worker.py): the torso's serial port is exclusive, so the sides
take turns opening it.
"""

from __future__ import annotations

import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path

from quillet_sim import VirtualTorso, preload_path

from peer_env import peer_python

WORKER = Path(__file__).resolve().parent / "worker.py"
SIDES = ("module", "peer")

# Distinct positions, so that a value read from the wrong joint cannot pass.
SERVO_STEPS = (1000, 1500, 2048, 2600, 3100, 900, 3900)
NECK_RADIANS = (0.3, -0.2, 0.1)
SERVO_TOLERANCE = 1e-12
# A neck position crosses the bus in steps of 25/65535 rad (3.8e-4)...
NECK_STEP = 25 / 65535
# ...and the module decodes it in single precision, the peer client in double.
NECK_PRECISION = 1e-5


class WorkerError(RuntimeError):
    pass


class Sides:
    def __init__(self, module_python: str | None = None, peer: str | Path | None = None) -> None:
        self.python = {"module": module_python or sys.executable,
                       "peer": str(peer or peer_python(quiet=False))}
        self.env = dict(os.environ)
        self.env["LD_PRELOAD"] = f"{preload_path()} {self.env.get('LD_PRELOAD', '')}".strip()
        self.stderr_lines: dict[str, set[str]] = {side: set() for side in SIDES}

    def command(self, side: str, torso: VirtualTorso, *args: object) -> list[str]:
        assert torso.serial_path is not None
        return [self.python[side], str(WORKER), side, torso.serial_path, torso.can_interface,
                *(str(a) for a in args)]

    def _note_stderr(self, side: str, text: str) -> None:
        self.stderr_lines[side].update(line for line in text.splitlines() if line.strip())

    def run(self, side: str, torso: VirtualTorso, *args: object, timeout: float = 600) -> dict:
        done = subprocess.run(self.command(side, torso, *args), env=self.env, capture_output=True,
                              text=True, timeout=timeout)
        self._note_stderr(side, done.stderr)
        if done.returncode != 0:
            raise WorkerError(f"{side} worker {' '.join(map(str, args))} failed:\n{done.stderr}")
        return json.loads(done.stdout.splitlines()[-1])

    def read_after_stale(self, side: str, torso: VirtualTorso, between) -> tuple[dict, dict]:
        """A read, then `between()` while the worker waits, then a second read."""
        process = subprocess.Popen(self.command(side, torso, "read-after-stale"), env=self.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        assert process.stdin is not None and process.stdout is not None
        first = json.loads(process.stdout.readline())
        between()
        process.stdin.write("\n")
        process.stdin.flush()
        second = json.loads(process.stdout.readline())
        _, err = process.communicate(timeout=30)
        self._note_stderr(side, err)
        return first, second


def set_distinct_positions(torso: VirtualTorso, shift: int = 0) -> list[float]:
    """Puts every joint at its own place; returns the ten positions in radians."""
    for servo_id, steps in enumerate(SERVO_STEPS, start=1):
        torso.servo(servo_id).set_position(steps + shift)
    for motor_id, radians in enumerate(NECK_RADIANS, start=1):
        torso.motor(motor_id).set_position(radians + shift / 1000)
    return [(s + shift) * 2 * math.pi / 4096 - math.pi for s in SERVO_STEPS] + \
        [r + shift / 1000 for r in NECK_RADIANS]


def differences(expected: list[float], got: list[float], neck_tolerance: float) -> list[str]:
    if len(got) != 10:
        return [f"{len(got)} values instead of 10"]
    out = []
    for index, (want, have) in enumerate(zip(expected, got)):
        tolerance = SERVO_TOLERANCE if index < 7 else neck_tolerance
        if not abs(want - have) <= tolerance:
            out.append(f"joint {index}: {have!r} instead of {want!r}")
    return out


def check_peer_client(sides: Sides, torso: VirtualTorso) -> list[str]:
    """Problems found when the peer client is set beside the module (an empty list: none).

    Both sides read the ten joints twice, with the joints moved in between, and both write the
    same four arm goals; the reads must agree with each other and with the torso, the writes
    must leave the same goal registers behind.
    """
    problems = []
    for shift in (0, 37):
        expected = set_distinct_positions(torso, shift)
        reads = {side: sides.run(side, torso, "read")["values"] for side in SIDES}
        for side in SIDES:
            problems += [f"{side} read: {p}" for p in differences(expected, reads[side], NECK_STEP)]
        problems += [f"peer read beside the module's: {p}"
                     for p in differences(reads["module"], reads["peer"], NECK_PRECISION)]
    goals = [0.5, -0.25, 1.0, -1.5]
    registers = {}
    for side in SIDES:
        sides.run(side, torso, "write-arms", *goals)
        registers[side] = [torso.servo(i).goal_position for i in (1, 2, 3, 4)]
    if registers["peer"] != registers["module"]:
        problems.append(f"goal registers after the peer's write {registers['peer']}, "
                        f"after the module's {registers['module']}")
    return problems


LATE_REPLY_S = 0.05  # past the time-outs of both sides
MOVE_STEPS = 100


def stale_probe(sides: Sides, side: str, torso: VirtualTorso) -> tuple[str, str]:
    """Servo 1 answers a read late; the joint then moves, and the next read must report where it
    is now, not the late answer. Returns what the late read gave ("error" or "values") and what
    the next read says of servo 1 ("new", "stale", or what else it got)."""
    set_distinct_positions(torso)
    before = torso.servo(1).position
    after = before + MOVE_STEPS
    torso.servo(1).delay_next_reply(LATE_REPLY_S)

    def between() -> None:
        time.sleep(2 * LATE_REPLY_S)  # the late replies are in the host's input by now
        torso.servo(1).set_position(after)

    first, second = sides.read_after_stale(side, torso, between)
    late = "error" if "error" in first else "values"
    if "error" in second:
        return late, f"error: {second['error']}"
    steps = round((second["values"][0] + math.pi) * 4096 / (2 * math.pi))
    return late, {after: "new", before: "stale"}.get(steps, f"step {steps}")
