"""Cost of one full read of the ten joints (read_all_positions then read_neck_positions) against
the virtual torso: wall time and process CPU time per read, without and with wire timing.

    .venv/bin/python bench/controller/full_read.py [--reads 2000]

The CPU time is this process's (the module and Python's call overhead), not the torso's. With
wire timing the torso paces its replies as the wire would, so the median wall time can be
compared with the wire-time floor printed beside it.
"""

from __future__ import annotations

import argparse
import statistics
import time

from quillet_sim import VirtualTorso, restart_under_preload

# On the wire: at 1,000,000 baud a byte takes 10 us (start, 8 data and stop bits).
SERVO_BYTE_S = 10e-6
# A classic frame with an 11-bit id and 8 data bytes is 111 bits before bit stuffing; 1 Mbit/s.
CAN_FRAME_S = 111e-6


def wire_floor_s() -> float:
    # Sync read of ids 1-4: a 12-byte request and four 8-byte replies; ids 5-7: 11 and 3 x 8.
    servo_bytes = (12 + 4 * 8) + (11 + 3 * 8)
    # Three feedback requests, each answered by one state frame.
    can_frames = 3 * 2
    return servo_bytes * SERVO_BYTE_S + can_frames * CAN_FRAME_S


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def run(reads: int, wire_timing: bool) -> None:
    from quillet_motor_controller import QuilletMotorController

    with VirtualTorso(wire_timing=wire_timing) as torso:
        controller = QuilletMotorController(torso.serial_path, torso.can_interface)
        for _ in range(50):  # warm-up
            controller.read_all_positions()
            controller.read_neck_positions()
        wall, cpu = [], []
        for _ in range(reads):
            w0, c0 = time.perf_counter(), time.process_time()
            controller.read_all_positions()
            controller.read_neck_positions()
            c1, w1 = time.process_time(), time.perf_counter()
            wall.append(w1 - w0)
            cpu.append(c1 - c0)
        del controller
    us = 1e6
    label = "wire timing on " if wire_timing else "wire timing off"
    line = (f"{label}: {reads} reads  wall median {statistics.median(wall) * us:7.1f} us"
            f"  p99 {percentile(wall, 0.99) * us:7.1f} us   cpu median {statistics.median(cpu) * us:6.1f} us"
            f"  p99 {percentile(cpu, 0.99) * us:6.1f} us  mean {statistics.fmean(cpu) * us:6.1f} us")
    if wire_timing:
        floor = wire_floor_s()
        line += f"\n                 wire-time floor {floor * us:7.1f} us  (median / floor = {statistics.median(wall) / floor:.2f})"
    print(line, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--reads", type=int, default=2000)
    args = parser.parse_args()
    restart_under_preload()  # the module reaches the torso's CAN bus only through the stand-in
    run(args.reads, wire_timing=False)
    run(args.reads, wire_timing=True)


if __name__ == "__main__":
    main()
