"""A loop left running for hours, as on a robot that works all day: QuilletPyControlLoop at 1 kHz
with statistics on the virtual torso with wire timing, watched by a reader that refreshes as
quillet-monitor does, driven by a few commanding threads and, with --faults, disturbed by the
torso's fault switches at random.

    .venv/bin/python bench/soak/soak.py --minutes 60 [--hz 1000] [--reader-hz 4] [--faults]

Once a minute one line: the ticks of that minute and in all, the tick gap (the loop's period
samples of that minute) p99 and max, read_dt p99, the resident set, descriptors and threads of
the process, the slowest get_stats of the minute, the reader's refresh (quillet-monitor's
collect and figures, over the new samples only) median and max, and the machine's load average
(on a shared machine the tick figures follow it); with --faults, the faults switched on in that
minute and the reads that failed. At the end, the trend of each figure per
hour (least squares over the minutes, the first minute left out as warm-up).
"""

from __future__ import annotations

import argparse
import logging
import os
import random
import statistics
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import timedelta

from process import descriptors, memory_mb, threads
from quillet_sim import VirtualTorso, restart_under_preload
from quillet_tools.monitor import Watch
from quillet_tools.recording import SAMPLE_KINDS
from quillet_tools.timing import percentile

MS = 1e3
COMMAND_SPREAD = 0.3  # rad around zero that the commanding threads move the joints within


@dataclass
class Minute:
    """What the reader and the fault switcher saw since the last line."""

    period: list[float] = field(default_factory=list)
    read_dt: list[float] = field(default_factory=list)
    get_stats: list[float] = field(default_factory=list)
    refresh: list[float] = field(default_factory=list)
    read_failures: int = 0
    faults: int = 0


class Reader:
    """Refreshes a quillet-monitor Watch `hz` times a second, timing it, and takes the new
    samples for the minute's figures with get_stats, timing that too."""

    def __init__(self, loop, hz: float, period_s: float) -> None:
        self.loop = loop
        self.interval = 1 / hz
        self.watch = Watch(loop, period_s, None)
        self.taken = dict.fromkeys(SAMPLE_KINDS, 0)
        self.lock = threading.Lock()
        self.minute = Minute()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, name="soak-reader")

    def take_minute(self) -> Minute:
        with self.lock:
            done, self.minute = self.minute, Minute()
        return done

    def run(self) -> None:
        next_call = time.monotonic()
        while not self.stop.is_set():
            t0 = time.perf_counter()
            self.watch.collect_stats()
            self.watch.figures()
            t1 = time.perf_counter()
            stats = self.loop.get_stats()
            t2 = time.perf_counter()
            new = {}
            for kind in ("period", "read_dt"):
                new[kind] = stats.samples_since(kind, self.taken[kind])
                self.taken[kind] += len(new[kind])
            try:
                self.loop.get_last_position()
                failed = 0
            except RuntimeError:
                failed = 1
            with self.lock:
                self.minute.refresh.append(t1 - t0)
                self.minute.get_stats.append(t2 - t1)
                self.minute.period += new["period"]
                self.minute.read_dt += new["read_dt"]
                self.minute.read_failures += failed
            next_call += self.interval
            self.stop.wait(max(0.0, next_call - time.monotonic()))


def commander(loop, hz: float, stop: threading.Event, rng: random.Random, counts: list[int]) -> None:
    """Queues a mix of commands as a program would: neck, arms and nose goals, and now and then a
    register read that waits for its reply. `counts`, its own: [done, failed]."""
    while not stop.wait(rng.expovariate(hz)):
        target = rng.uniform(-COMMAND_SPREAD, COMMAND_SPREAD)
        choice = rng.randrange(4)
        try:
            if choice == 0:
                loop.set_neck_yaw_position(target)
            elif choice == 1:
                loop.set_arms_position([target, 0.0, -target, 0.0])
            elif choice == 2:
                loop.set_nose_position([target, target, target])
            else:
                loop.async_read_raw_bytes(5, 62, 1)  # a servo's supply voltage
            counts[0] += 1
        except RuntimeError:
            counts[1] += 1  # a raw read that the faults made fail


def fault_switches(torso: VirtualTorso, rng: random.Random) -> list[tuple[str, Callable[[], None], Callable[[], None]]]:
    """(name, on, off) of the switches that a running loop recovers from."""
    servo = rng.randint(1, 7)
    motor = rng.randint(1, 3)
    return [
        (f"servo {servo} silent", lambda: torso.servo(servo).set_silent(True),
         lambda: torso.servo(servo).set_silent(False)),
        (f"servo {servo} corrupt reply", lambda: torso.servo(servo).corrupt_next_reply(), lambda: None),
        (f"servo {servo} late reply", lambda: torso.servo(servo).delay_next_reply(0.015), lambda: None),
        (f"servo {servo} slow", lambda: torso.servo(servo).set_reply_delay(0.015),
         lambda: torso.servo(servo).set_reply_delay(0.0)),
        (f"motor {motor} silent", lambda: torso.motor(motor).set_silent(True),
         lambda: torso.motor(motor).set_silent(False)),
        (f"motor {motor} slow", lambda: torso.motor(motor).set_reply_delay(0.025),
         lambda: torso.motor(motor).set_reply_delay(0.0)),
        ("line noise", lambda: torso.set_serial_noise(5), lambda: torso.set_serial_noise(0)),
        ("garbage on the line", lambda: torso.inject_serial_bytes(bytes([0xFF, 0xFF, 0x13, 0x00, 0xA5]) * 4),
         lambda: None),
    ]


def switch_faults(torso: VirtualTorso, reader: Reader, stop: threading.Event, rng: random.Random) -> None:
    """Every 5 to 20 s one fault, on for 0.1 to 2 s."""
    while not stop.wait(rng.uniform(5.0, 20.0)):
        _, on, off = rng.choice(fault_switches(torso, rng))
        on()
        with reader.lock:
            reader.minute.faults += 1
        stop.wait(rng.uniform(0.1, 2.0))
        off()


@dataclass
class Line:
    minute: int
    ticks: int
    total: int
    gap_p99: float
    gap_max: float
    read_p99: float
    rss: float
    fds: int
    threads: int
    get_stats_max: float
    refresh_p50: float
    refresh_max: float
    faults: int
    read_failures: int
    samples: int  # held by the loop's statistics, all three lists
    load: float   # of the machine, over the last minute: the tick figures follow it

    def text(self, with_faults: bool) -> str:
        out = (f"min {self.minute:4d}  ticks {self.ticks:6d} ({self.total:9d})  gap p99 {self.gap_p99 * MS:6.3f} ms"
               f" max {self.gap_max * MS:7.2f} ms  read_dt p99 {self.read_p99 * MS:6.3f} ms  RSS {self.rss:6.1f} MB"
               f"  fds {self.fds:3d}  threads {self.threads:2d}  get_stats max {self.get_stats_max * MS:6.3f} ms"
               f"  refresh p50 {self.refresh_p50 * MS:6.3f} max {self.refresh_max * MS:6.3f} ms  load {self.load:5.2f}")
        if with_faults:
            out += f"  faults {self.faults:2d} failed reads {self.read_failures:3d}"
        return out


def minute_line(index: int, total: int, minute: Minute, samples: int) -> Line:
    rss, _ = memory_mb()
    nan = float("nan")
    return Line(index, len(minute.period), total,
                percentile(minute.period, 99), max(minute.period, default=nan),
                percentile(minute.read_dt, 99), rss, descriptors(), threads(),
                max(minute.get_stats, default=nan),
                statistics.median(minute.refresh) if minute.refresh else nan, max(minute.refresh, default=nan),
                minute.faults, minute.read_failures, samples, os.getloadavg()[0])


def per_hour(lines: list[Line], figure: str, line_seconds: float) -> float:
    """Least-squares slope of a figure over the lines, per hour."""
    points = [(line.minute * line_seconds / 3600, getattr(line, figure)) for line in lines]
    if len(points) < 2:
        return float("nan")
    mx = statistics.fmean(m for m, _ in points)
    my = statistics.fmean(v for _, v in points)
    sxx = sum((m - mx) ** 2 for m, _ in points)
    return sum((m - mx) * (v - my) for m, v in points) / sxx


def trends(lines: list[Line], line_seconds: float) -> str:
    steady = lines[1:] if len(lines) > 2 else lines
    first, last = steady[0], steady[-1]
    rows = [("ticks a line", "ticks", 1, ""), ("tick gap p99", "gap_p99", MS, " ms"),
            ("tick gap max", "gap_max", MS, " ms"), ("read_dt p99", "read_p99", MS, " ms"),
            ("resident set", "rss", 1, " MB"), ("descriptors", "fds", 1, ""), ("threads", "threads", 1, ""),
            ("slowest get_stats", "get_stats_max", MS, " ms"), ("refresh median", "refresh_p50", MS, " ms"),
            ("refresh max", "refresh_max", MS, " ms"), ("machine load", "load", 1, "")]
    out = [f"trend per hour over lines {first.minute} to {last.minute} (first -> last):"]
    if last.samples > first.samples:
        out.append(f"  resident set grew {last.rss - first.rss:.1f} MB while the statistics took "
                   f"{last.samples - first.samples} samples: {(last.rss - first.rss) * 2**20 / (last.samples - first.samples):.2f}"
                   f" bytes a sample")
    for label, name, scale, unit in rows:
        out.append(f"  {label:18s} {per_hour(steady, name, line_seconds) * scale:+10.3f}{unit}/h"
                   f"   ({getattr(first, name) * scale:.3f} -> {getattr(last, name) * scale:.3f}{unit})")
    return "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, required=True)
    parser.add_argument("--hz", type=float, default=1000.0, help="tick rate of the loop")
    parser.add_argument("--reader-hz", type=float, default=4.0, help="refreshes of the monitor-like reader")
    parser.add_argument("--commanders", type=int, default=2, help="threads that queue commands")
    parser.add_argument("--command-hz", type=float, default=10.0, help="commands a second of each")
    parser.add_argument("--faults", action="store_true", help="switch the torso's faults on and off at random")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--line-seconds", type=float, default=60.0, help="seconds between lines (to try it out)")
    args = parser.parse_args()
    restart_under_preload()
    # Start-up's reboot notes and the retries' recoveries under faults are not the figures.
    logging.getLogger("quillet_motor_controller").setLevel(logging.ERROR)
    from quillet_motor_controller import QuilletPyControlLoop

    rng = random.Random(args.seed)
    period_s = 1 / args.hz
    with VirtualTorso(wire_timing=True) as torso:
        loop = QuilletPyControlLoop(torso.serial_path, timedelta(seconds=period_s), can_bus=torso.can_interface,
                                    stats_pub_period=timedelta(milliseconds=100))
        print(f"soak: {args.minutes:g} min at {args.hz:g} Hz, wire timing, reader at {args.reader_hz:g} Hz,"
              f" {args.commanders} commanding threads at {args.command_hz:g}/s each"
              f"{', random faults' if args.faults else ''}", flush=True)
        stop = threading.Event()
        reader = Reader(loop, args.reader_hz, period_s)
        counts = [[0, 0] for _ in range(args.commanders)]
        workers = [threading.Thread(target=commander, args=(loop, args.command_hz, stop, random.Random(rng.random()), c))
                   for c in counts]
        if args.faults:
            workers.append(threading.Thread(target=switch_faults, args=(torso, reader, stop, random.Random(rng.random()))))
        reader.thread.start()
        for worker in workers:
            worker.start()
        lines: list[Line] = []
        start = time.monotonic()
        try:
            for index in range(1, int(args.minutes * 60 / args.line_seconds) + 1):
                time.sleep(max(0.0, start + index * args.line_seconds - time.monotonic()))
                held = loop.get_stats()
                samples = sum(held.sample_count(kind) for kind in SAMPLE_KINDS)
                lines.append(minute_line(index, reader.taken["period"], reader.take_minute(), samples))
                print(lines[-1].text(args.faults), flush=True)
        except KeyboardInterrupt:
            print("soak: interrupted", flush=True)
        finally:
            stop.set()
            for worker in workers:
                worker.join()
            reader.stop.set()
            reader.thread.join()
            loop.close()
        print(f"soak: {sum(c[0] for c in counts)} commands queued or answered, {sum(c[1] for c in counts)} raw"
              f" reads failed;"
              f" {loop.get_stats().sample_count('period')} ticks", flush=True)
        if lines:
            print(trends(lines, args.line_seconds), flush=True)


if __name__ == "__main__":
    main()
