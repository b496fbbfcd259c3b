"""The loop's ten-joint read with both buses in flight, against the same read done one bus after
the other, on the virtual torso with wire timing; then a 1 kHz loop.

    .venv/bin/python bench/loop/overlap.py [--seconds 10] [--idle default|shallow|both]

Each figure is measured twice: with the CPUs' idle states as the machine has them, then while a
0 us wake-up latency request keeps idle CPUs polling (as hosts of real-time loops are set up; it
needs root). Printed: read_dt of the loop (servo line and CAN bus overlapped) beside the wall time of the
sequential read (QuilletMotorController: read_all_positions, then read_neck_positions) on the same
torso, both with the wire-time floors; process CPU per read for both; then a loop at 1 ms: ticks
against the 1000 a second due, and |period - 1 ms|.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from datetime import timedelta

from idle_latency import shallow_idle
from quillet_sim import VirtualTorso, restart_under_preload

SERVO_BYTE_S = 10e-6  # 1,000,000 baud, 10 bits a byte
CAN_FRAME_S = 111e-6  # classic frame, 11-bit id, 8 data bytes, 1 Mbit/s, before bit stuffing
SERVO_FLOOR_S = ((12 + 4 * 8) + (11 + 3 * 8)) * SERVO_BYTE_S
CAN_FLOOR_S = 3 * 2 * CAN_FRAME_S


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def sequential(torso: VirtualTorso, reads: int) -> tuple[list[float], float]:
    from quillet_motor_controller import QuilletMotorController

    controller = QuilletMotorController(torso.serial_path, torso.can_interface)

    def read() -> bool:
        try:
            controller.read_all_positions()
            controller.read_neck_positions()
            return True
        except RuntimeError:  # a reply later than the time-out, on a machine that is busy
            return False

    for _ in range(50):
        read()
    wall, failed = [], 0
    cpu0 = time.process_time()
    for _ in range(reads):
        t0 = time.perf_counter()
        ok = read()
        wall.append(time.perf_counter() - t0)
        failed += not ok
    cpu = (time.process_time() - cpu0) / reads
    del controller
    if failed:
        print(f"  (sequential: {failed} of {reads} reads failed)", flush=True)
    return wall, cpu


def looped(torso: VirtualTorso, period_s: float, seconds: float) -> tuple[list[float], list[float], float]:
    """period samples of exactly `seconds` of the loop's own time, read_dt samples, CPU per tick."""
    from quillet_motor_controller import QuilletPyControlLoop

    loop = QuilletPyControlLoop(torso.serial_path, timedelta(seconds=period_s), can_bus=torso.can_interface,
                                stats_pub_period=timedelta(milliseconds=100))
    time.sleep(0.5)
    skip = len(loop.get_stats().period)
    skip_reads = len(loop.get_stats().read_dt)
    cpu0, wall0 = time.process_time(), time.monotonic()
    time.sleep(seconds)
    cpu1, wall1 = time.process_time(), time.monotonic()
    loop.close()
    stats = loop.get_stats()
    # The statistics seen before were up to one publication old: the ticks are counted in a window
    # of `seconds` summed from the periods themselves, so that neither end adds or loses ticks.
    window, elapsed = [], 0.0
    for period in stats.period[skip:]:
        elapsed += period
        if elapsed > seconds:
            break
        window.append(period)
    ticks_while_timed = round((wall1 - wall0) / period_s)
    # The main thread only sleeps: the process CPU is the loop's own (both of its threads).
    return window, stats.read_dt[skip_reads:], (cpu1 - cpu0) / max(ticks_while_timed, 1)


def measure(torso: VirtualTorso, seconds: float) -> None:
    us = 1e6
    _, reads, loop_cpu = looped(torso, 0.004, seconds / 2)
    wall, seq_cpu = sequential(torso, 2000)
    overlapped_floor = max(SERVO_FLOOR_S, CAN_FLOOR_S)
    print(f"  overlapped (loop read_dt, 250 Hz): median {statistics.median(reads) * us:7.1f} us"
          f" p99 {percentile(reads, 0.99) * us:7.1f} us  = {statistics.median(reads) / overlapped_floor:.2f} x its floor;"
          f"  CPU per tick {loop_cpu * us:6.1f} us", flush=True)
    print(f"  sequential (controller):           median {statistics.median(wall) * us:7.1f} us"
          f" p99 {percentile(wall, 0.99) * us:7.1f} us  = {statistics.median(wall) / (SERVO_FLOOR_S + CAN_FLOOR_S):.2f}"
          f" x its floor;  CPU per read {seq_cpu * us:6.1f} us", flush=True)
    periods, reads, cpu = looped(torso, 0.001, seconds)
    deviation = [abs(p - 0.001) for p in periods]
    due = round(seconds * 1000)
    print(f"  1 kHz loop: {len(periods)} ticks in {seconds:.2f} s ({len(periods) / due * 100:.1f}% of {due} due);"
          f"  |period-1ms| median {statistics.median(deviation) * us:6.1f} us p99 {percentile(deviation, 0.99) * us:6.1f} us;"
          f"  read_dt median {statistics.median(reads) * us:6.1f} us = {statistics.median(reads) / overlapped_floor:.2f} x;"
          f"  CPU per tick {cpu * us:6.1f} us", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--idle", choices=("default", "shallow", "both"), default="both",
                        help="CPU idle states: as they are, kept shallow by a latency request, or both runs")
    args = parser.parse_args()
    restart_under_preload()  # the module reaches the torso's CAN bus only through the stand-in
    us = 1e6
    print(f"{os.cpu_count()} CPUs; virtual torso with wire timing; wire-time floors: servo line "
          f"{SERVO_FLOOR_S * us:.0f} us, CAN bus {CAN_FLOOR_S * us:.0f} us; sequential "
          f"{(SERVO_FLOOR_S + CAN_FLOOR_S) * us:.0f} us, overlapped {max(SERVO_FLOOR_S, CAN_FLOOR_S) * us:.0f} us",
          flush=True)
    idle_modes = {"default": [False], "shallow": [True], "both": [False, True]}[args.idle]
    with VirtualTorso(wire_timing=True) as torso:
        for shallow in idle_modes:
            if not shallow:
                print("CPU idle states as the machine has them:", flush=True)
                measure(torso, args.seconds)
                continue
            with shallow_idle() as held:
                if not held:
                    print("(no 0 us CPU wake-up latency request: /dev/cpu_dma_latency needs root)", flush=True)
                    continue
                print("with a 0 us CPU wake-up latency request held (/dev/cpu_dma_latency):", flush=True)
                measure(torso, args.seconds)


if __name__ == "__main__":
    main()
