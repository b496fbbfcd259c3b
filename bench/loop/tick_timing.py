"""Timing of QuilletPyControlLoop on the virtual torso with wire timing: how closely the ticks keep
their period, how long the ten-joint read takes, what the loop thread costs, and what its
callers pay.

    .venv/bin/python bench/loop/tick_timing.py [--seconds 10] [--rates 250,500]

For each rate the loop runs twice, idle and while another Python thread spins in pure Python
(the loop thread never takes the interpreter lock in steady state, so the spinning thread should
barely show). Printed per run: ticks, median and 99th percentile of |period - target| and of
read_dt, and the process CPU per tick while the main thread sleeps (the loop thread's own cost,
plus the torso-facing system calls). Then the callers' side: get_last_position calls per second
and the CPU of one queueing call on a queue with room.
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time
from datetime import timedelta

from quillet_sim import VirtualTorso, restart_under_preload


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def run_loop(torso: VirtualTorso, hz: int, seconds: float, spin: bool) -> None:
    from quillet_motor_controller import QuilletPyControlLoop

    period = 1.0 / hz
    loop = QuilletPyControlLoop(torso.serial_path, timedelta(seconds=period), can_bus=torso.can_interface,
                                stats_pub_period=timedelta(milliseconds=100))
    stop = threading.Event()

    def spinner() -> None:
        x = 0
        while not stop.is_set():
            x += 1

    spinning = threading.Thread(target=spinner)
    if spin:
        spinning.start()
    time.sleep(0.5)  # settle
    skip = len(loop.get_stats().period)
    cpu0, wall0 = time.process_time(), time.monotonic()
    main0 = time.thread_time()
    time.sleep(seconds)
    cpu1, wall1 = time.process_time(), time.monotonic()
    main1 = time.thread_time()
    stats = loop.get_stats()
    stop.set()
    if spin:
        spinning.join()
    loop.close()
    periods = stats.period[skip:]
    reads = stats.read_dt[skip:]
    deviation = [abs(p - period) for p in periods]
    us = 1e6
    ticks = len(periods)
    # The main thread sleeps; the spinner's CPU is left out by taking it only when idle.
    cpu_per_tick = ((cpu1 - cpu0) - (main1 - main0)) / max(ticks, 1)
    label = f"{hz:4d} Hz {'spinning' if spin else 'idle    '}"
    line = (f"{label}: {ticks:6d} ticks in {wall1 - wall0:5.2f} s (expected {round((wall1 - wall0) * hz)})"
            f"  |period-{period * 1e3:g}ms| median {statistics.median(deviation) * us:6.1f} us"
            f" p99 {percentile(deviation, 0.99) * us:7.1f} us"
            f"  read_dt median {statistics.median(reads) * us:7.1f} us p99 {percentile(reads, 0.99) * us:7.1f} us")
    if not spin:
        line += f"  cpu/tick {cpu_per_tick * us:6.1f} us"
    print(line, flush=True)


def caller_costs(torso: VirtualTorso) -> None:
    from quillet_motor_controller import QuilletPyControlLoop

    loop = QuilletPyControlLoop(torso.serial_path, timedelta(milliseconds=4), can_bus=torso.can_interface)
    n = 1_000_000
    t0 = time.perf_counter()
    for _ in range(n):
        loop.get_last_position()
    rate = n / (time.perf_counter() - t0)
    # Queueing calls on a queue with room: batches of 50, each left to drain before the next.
    costs = []
    for _ in range(100):
        for _ in range(50):
            c0 = time.thread_time_ns()
            loop.set_neck_yaw_position(0.0)
            costs.append(time.thread_time_ns() - c0)
        time.sleep(0.05)
    loop.close()
    print(f"callers: get_last_position {rate / 1e6:5.2f} M calls/s;"
          f"  set_neck_yaw_position CPU median {statistics.median(costs) / 1e3:5.2f} us"
          f" p99 {percentile(costs, 0.99) / 1e3:5.2f} us (queue with room)", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rates", default="250,500", help="comma-separated loop rates in Hz")
    args = parser.parse_args()
    restart_under_preload()  # the module reaches the torso's CAN bus only through the stand-in
    print(f"{os.cpu_count()} CPUs; virtual torso with wire timing", flush=True)
    with VirtualTorso(wire_timing=True) as torso:
        for hz in (int(r) for r in args.rates.split(",")):
            run_loop(torso, hz, args.seconds, spin=False)
            run_loop(torso, hz, args.seconds, spin=True)
        caller_costs(torso)


if __name__ == "__main__":
    main()
