"""Latency of the virtual torso's servo line: from the last byte of a 4-servo sync-read request
to the last byte of its four replies, as a program on the serial device sees it.

    python bench/sim/sync_read_latency.py [--count N] [--wire-timing] [--cpus CLIENT,TORSO]

--cpus pins this client and the torso daemon to the given CPUs: on one CPU the figures show the
torso's cost; on two they add the cross-CPU wake-ups of the pseudo-terminal, which on a virtual
machine cost tens of microseconds each way.

The clock starts just before the request is written and stops when the last reply byte has been
read; the client waits in poll(), as a driver does, so the figures include its wake-up time and
the pseudo-terminal's own latency (about as large as the torso's share on these machines).
"""

from __future__ import annotations

import argparse
import os
import select
import statistics
import termios
import time

from quillet_sim import VirtualTorso

REPLY_SIZE = 8  # status packet carrying two bytes


def sync_read_request(ids: list[int], address: int, count: int) -> bytes:
    body = bytes([0xFE, len(ids) + 4, 0x82, address, count, *ids])
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def percentile(sorted_values: list[float], fraction: float) -> float:
    index = min(len(sorted_values) - 1, max(0, round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def turnarounds(torso: VirtualTorso) -> list[float]:
    """The torso's own share, from its traffic record: request read to last reply written."""
    out: list[float] = []
    request_time = None
    last_reply = None
    for record in torso.servo_traffic():
        if record.source == "host":
            if request_time is not None and last_reply is not None:
                out.append((last_reply - request_time) * 1e6)
            request_time, last_reply = record.time, None
        elif record.source == "servo":
            last_reply = record.time
    if request_time is not None and last_reply is not None:
        out.append((last_reply - request_time) * 1e6)
    return out[50:]


def run(count: int, wire_timing: bool, cpus: tuple[int, int] | None) -> tuple[list[float], list[float]]:
    request = sync_read_request([1, 2, 3, 4], 56, 2)
    expected = 4 * REPLY_SIZE
    samples: list[float] = []
    with VirtualTorso(motors=False, wire_timing=wire_timing) as torso:
        assert torso.serial_path is not None
        if cpus is not None:
            os.sched_setaffinity(0, {cpus[0]})
            assert torso._process is not None
            os.sched_setaffinity(torso._process.pid, {cpus[1]})
        fd = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            termios.tcflush(fd, termios.TCIOFLUSH)
            poller = select.poll()
            poller.register(fd, select.POLLIN)
            for i in range(count + 50):
                start = time.perf_counter_ns()
                os.write(fd, request)
                replies = b""
                while len(replies) < expected:
                    poller.poll(100)
                    try:
                        replies += os.read(fd, expected - len(replies))
                    except BlockingIOError:
                        continue
                elapsed = time.perf_counter_ns() - start
                if [replies[k + 2] for k in range(0, expected, REPLY_SIZE)] != [1, 2, 3, 4]:
                    raise SystemExit(f"unexpected replies: {replies.hex()}")
                if i >= 50:  # the first exchanges warm caches and the scheduler
                    samples.append(elapsed / 1000.0)
        finally:
            os.close(fd)
        inside = turnarounds(torso)
    return samples, inside


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--wire-timing", action="store_true")
    parser.add_argument("--cpus", help="CLIENT,TORSO: pin both to these CPUs")
    args = parser.parse_args()
    cpus = None
    if args.cpus:
        client, torso = (int(c) for c in args.cpus.split(","))
        cpus = (client, torso)
    samples, inside = (sorted(values) for values in run(args.count, args.wire_timing, cpus))
    placement = f", client on CPU {cpus[0]}, torso on CPU {cpus[1]}" if cpus else ""
    print(f"4-servo sync read, {len(samples)} exchanges, wire timing {'on' if args.wire_timing else 'off'}{placement}")
    print(f"request to replies: median {statistics.median(samples):.1f} us, "
          f"p99 {percentile(samples, 0.99):.1f} us, min {samples[0]:.1f} us, max {samples[-1]:.1f} us")
    print(f"inside the torso:   median {statistics.median(inside):.1f} us, "
          f"p99 {percentile(inside, 0.99):.1f} us")


if __name__ == "__main__":
    main()
