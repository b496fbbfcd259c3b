"""What a statistics reader costs the loop once many samples have piled up: the loop runs flat
out (a 1 us period, so that every pass is a tick) on the virtual torso, with statistics, until it
holds about `--ticks` ticks; then it runs a window alone and a window while a reader calls
get_stats `--reader-hz` times a second.

    .venv/bin/python bench/soak/flat_out.py [--ticks 605000] [--window 20] [--reader-hz 20]

Printed: the ticks held at each window, the tick gap (the loop's own period samples) median,
p99.9 and max in each window, the reader's get_stats median and max, and the resident set: before
the loop, and its peak in each window (the peak is started afresh at each window where the kernel
allows it, as it does for root), with the bytes per tick above the start. The reader only copies
(get_stats, as a program that keeps the record for later): the sample lists are made once, at the
end, after the peaks were taken, and the windows' ticks are placed by adding up the period
samples from the start of the loop's cycle.
"""

from __future__ import annotations

import argparse
import itertools
import logging
import statistics
import threading
import time
from datetime import timedelta

from process import memory_mb, reset_peak
from quillet_sim import VirtualTorso, restart_under_preload
from quillet_tools.timing import percentile

SETTLE_S = 0.2  # left out at the start of each window: the previous phase's last get_stats


def reader(loop, hz: float, stop: threading.Event, costs: list[float]) -> None:
    interval = 1 / hz
    next_call = time.monotonic()
    while not stop.is_set():
        t0 = time.perf_counter()
        stats = loop.get_stats()
        costs.append(time.perf_counter() - t0)
        del stats
        next_call += interval
        stop.wait(max(0.0, next_call - time.monotonic()))


def gaps_in(periods: list[float], since: float, until: float) -> list[float]:
    """The period samples of the ticks that happened between `since` and `until`, in seconds
    from the start of the loop's cycle."""
    ticks = itertools.accumulate(periods)
    return [p for p, at in zip(periods, ticks) if since <= at < until]


def line(label: str, gaps: list[float]) -> str:
    ms = 1e3
    return (f"  {label}: {len(gaps):7d} ticks  tick gap median {statistics.median(gaps) * ms:6.3f} ms"
            f"  p99.9 {percentile(gaps, 99.9) * ms:6.3f} ms  max {max(gaps) * ms:7.3f} ms")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--ticks", type=int, default=605_000, help="ticks held when the reader starts")
    parser.add_argument("--window", type=float, default=20.0, help="seconds of each window")
    parser.add_argument("--reader-hz", type=float, default=20.0)
    parser.add_argument("--wire-timing", action="store_true", help="pace the torso as the wires would")
    args = parser.parse_args()
    restart_under_preload()
    logging.getLogger("quillet_motor_controller").setLevel(logging.ERROR)  # start-up's reboot notes
    from quillet_motor_controller import QuilletPyControlLoop

    with VirtualTorso(wire_timing=args.wire_timing) as torso:
        rss_start, _ = memory_mb()
        loop = QuilletPyControlLoop(torso.serial_path, timedelta(microseconds=1), can_bus=torso.can_interface,
                                    stats_pub_period=timedelta(milliseconds=100))
        started = time.monotonic()  # the cycle starts as the constructor returns
        # Window A (alone) ends and window B (reader) starts at about --ticks ticks. The rate of a
        # loop run flat out follows the machine's load: it is taken again every few seconds.
        held, at = 0, started
        while True:
            time.sleep(3.0)
            before, since = held, at
            held, at = len(loop.get_stats().period), time.monotonic()
            rate = (held - before) / (at - since)
            left = (args.ticks - held) / rate - args.window
            if left <= 3.0:
                break
        time.sleep(max(0.0, at + left - time.monotonic()))
        print(f"flat out at about {rate:.0f} ticks/s (virtual torso, wire timing "
              f"{'on' if args.wire_timing else 'off'})", flush=True)
        peak_reset = reset_peak()
        a0 = time.monotonic() - started
        time.sleep(args.window)
        a1 = time.monotonic() - started
        _, peak_alone = memory_mb()

        stop, costs = threading.Event(), []
        reading = threading.Thread(target=reader, args=(loop, args.reader_hz, stop, costs))
        if peak_reset:
            reset_peak()
        reading.start()
        b0 = time.monotonic() - started
        time.sleep(args.window)
        stop.set()
        reading.join()
        b1 = time.monotonic() - started
        _, peak_read = memory_mb()

        loop.close()
        periods = loop.get_stats().period
        alone = gaps_in(periods, a0 + SETTLE_S, a1)
        read = gaps_in(periods, b0 + SETTLE_S, b1)
        held_a = len(gaps_in(periods, 0.0, a0))
        held_b = len(gaps_in(periods, 0.0, b0))
        print(line(f"alone,  from {held_a:7d} ticks held", alone), flush=True)
        print(line(f"reader, from {held_b:7d} ticks held", read), flush=True)
        ms = 1e3
        print(f"  reader: {len(costs)} get_stats at {args.reader_hz:g} Hz, median {statistics.median(costs) * ms:.3f} ms,"
              f" max {max(costs) * ms:.3f} ms", flush=True)
        ticks = len(gaps_in(periods, 0.0, b1))
        where = "in" if peak_reset else "by the end of"
        print(f"  resident set: {rss_start:.1f} MB before the loop; peak {peak_alone:.1f} MB {where} the window alone"
              f" ({(peak_alone - rss_start) * 2**20 / held_b:.0f} B/tick held), {peak_read:.1f} MB {where} the"
              f" reader's ({(peak_read - rss_start) * 2**20 / ticks:.0f} B/tick over {ticks} ticks)", flush=True)


if __name__ == "__main__":
    main()
