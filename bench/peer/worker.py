"""One side of the comparison in a process of its own: the same measurement code for both sides.

    worker.py {module|peer} SERIAL CAN COMMAND [ARGS]

Commands (each prints its result as one JSON line on standard output):
    read                       the ten joint positions
    write-arms A B C D         one four-arm goal write, radians
    read-after-stale           one read, then waits for a line on standard input, then reads again
    time {read|write} N        per-call wall and CPU samples of N calls, and (reads) the
                               process's user and system CPU over them
    trace {read|write} N [CTL ACK]
                               N calls between two marker system calls (for strace), and with
                               the two fifos of `perf stat --control`, with the counters on
    loop HZ SECONDS [spin]     a periodic ten-joint read; "spin" adds a spinning Python thread.
                               Failures: the peer's failed reads, or 1 when the module loop's
                               last read had failed

The module side runs in the project's Python, the peer side in the peer environment; both need
the SocketCAN stand-in preloaded to reach a virtual torso's CAN bus. Not a module of the project:
it imports the side it drives and nothing else.
"""

from __future__ import annotations

import json
import logging
import os
import resource
import sys
import threading
import time
from datetime import timedelta
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

WARM_UP = 200
MARK_BEGIN = "/quillet-bench-mark-begin"
MARK_END = "/quillet-bench-mark-end"
GOALS = ([0.10, -0.20, 0.30, -0.40], [-0.10, 0.20, -0.30, 0.40])


def open_side(side: str, serial: str, can_channel: str):
    if side == "module":
        from module_client import ModuleTorso
        return ModuleTorso(serial, can_channel)
    from peer_client import PeerTorso
    return PeerTorso(serial, can_channel)


# A goal write has no reply, and its 20 bytes take 200 us on the wire at 1 Mbaud: written back to
# back, writes would pile up on the line (and, with wire timing, in the torso) and delay whatever
# comes after them. So writes are spaced by more than their wire time, outside the measured part.
WRITE_GAP = 300e-6


def operation(torso, what: str):
    """The call and the pause after it."""
    if what == "read":
        return torso.read_ten, 0.0
    count = iter(range(1 << 62))
    return (lambda: torso.write_arms(GOALS[next(count) & 1])), WRITE_GAP


def busy_wait(seconds: float) -> None:
    # No system call: keeps a system-call count to the calls themselves.
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def emit(result: object) -> None:
    print(json.dumps(result), flush=True)


def mark(path: str) -> None:
    # A stat of a path that does not exist: easy to find in a system-call trace.
    try:
        os.stat(path)
    except OSError:
        pass


def counting_failures(call):
    """The call, with its failures counted instead of raised: on a loaded machine a reply can
    miss its time-out, and one late reply must not end a run of thousands."""
    failures = [0]

    def attempt() -> bool:
        try:
            call()
            return True
        except Exception:  # noqa: BLE001 - each side raises its own kind
            failures[0] += 1
            return False

    return attempt, failures


def time_calls(call, gap: float, n: int) -> dict:
    """Per-call wall and CPU time; user and system CPU over all calls, when no pause lies between
    them (the pauses would count too)."""
    attempt, failures = counting_failures(call)
    for _ in range(WARM_UP):
        attempt()
        time.sleep(gap)
    failures[0] = 0
    wall, cpu = [], []
    before = resource.getrusage(resource.RUSAGE_SELF)
    for _ in range(n):
        w0, c0 = time.perf_counter_ns(), time.process_time_ns()
        ok = attempt()
        c1, w1 = time.process_time_ns(), time.perf_counter_ns()
        if ok:
            wall.append((w1 - w0) / 1e9)
            cpu.append((c1 - c0) / 1e9)
        if gap:
            time.sleep(gap)
    after = resource.getrusage(resource.RUSAGE_SELF)
    split = {} if gap else {"user": after.ru_utime - before.ru_utime, "system": after.ru_stime - before.ru_stime}
    return {"wall": wall, "cpu": cpu, "failures": failures[0], **split}


class PerfControl:
    """Switches the counters of `perf stat --control fifo:CTL,ACK -D -1` on and off."""

    def __init__(self, ctl: str, ack: str) -> None:
        self.ctl = open(ctl, "w")
        self.ack = open(ack)

    def __call__(self, command: str) -> None:
        self.ctl.write(command + "\n")
        self.ctl.flush()
        self.ack.readline()


def trace_calls(call, gap: float, n: int, fifos: list[str]) -> dict:
    perf = PerfControl(*fifos) if fifos else None
    attempt, failures = counting_failures(call)
    for _ in range(WARM_UP):
        attempt()
        busy_wait(gap)
    failures[0] = 0
    mark(MARK_BEGIN)
    if perf:
        perf("enable")
    for _ in range(n):
        attempt()
        busy_wait(gap)
    if perf:
        perf("disable")
    mark(MARK_END)
    return {"calls": n, "failures": failures[0]}


class Spinner:
    """A Python thread that never blocks: what any busy pure-Python work does to the GIL."""

    def __init__(self) -> None:
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        assert self.thread.ident is not None
        self.clock = time.pthread_getcpuclockid(self.thread.ident)

    def _run(self) -> None:
        spins = 0
        while self.running:
            spins += 1

    def cpu(self) -> float:
        """This thread's CPU time so far."""
        return time.clock_gettime(self.clock)

    def stop(self) -> None:
        self.running = False
        self.thread.join()


def process_cpu(spinner: Spinner | None) -> float:
    """The process's CPU time, less what the spinning thread used."""
    return time.process_time() - (spinner.cpu() if spinner else 0.0)


def peer_loop(torso, hz: float, seconds: float, spin: bool) -> dict:
    period = 1.0 / hz
    starts: list[float] = []
    failures = [0]
    stop = threading.Event()

    def run() -> None:
        # The loop a user writes: a fixed schedule, catching up after an overrun.
        next_tick = time.monotonic()
        while not stop.is_set():
            delay = next_tick - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            starts.append(time.monotonic())
            try:
                torso.read_ten()
            except Exception:
                failures[0] += 1
            next_tick += period

    reader = threading.Thread(target=run)
    spinner = Spinner() if spin else None
    reader.start()
    time.sleep(0.2)  # settle
    first, failed, cpu0, t0 = len(starts), failures[0], process_cpu(spinner), time.monotonic()
    time.sleep(seconds)
    last, failed, cpu1, t1 = len(starts), failures[0] - failed, process_cpu(spinner), time.monotonic()
    stop.set()
    reader.join()
    if spinner:
        spinner.stop()
    window = starts[max(first - 1, 0):last]
    periods = [b - a for a, b in zip(window, window[1:])]
    return {"ticks": last - first, "seconds": t1 - t0, "periods": periods, "cpu": cpu1 - cpu0,
            "failures": failed}


def module_loop(serial: str, can_channel: str, hz: float, seconds: float, spin: bool) -> dict:
    import quillet_motor_controller as qmc
    if not hasattr(qmc, "QuilletPyControlLoop"):
        return {"skipped": "QuilletPyControlLoop is not in this build of the module"}
    # Start-up reboots every servo, with a warning each: expected here, so not shown.
    logging.getLogger("quillet_motor_controller").setLevel(logging.ERROR)
    loop = qmc.QuilletPyControlLoop(serial, timedelta(seconds=1.0 / hz), can_bus=can_channel,
                                    stats_pub_period=timedelta(milliseconds=50))
    try:
        spinner = Spinner() if spin else None
        time.sleep(0.2)  # settle
        first, cpu0, t0 = len(loop.get_stats().period), process_cpu(spinner), time.monotonic()
        time.sleep(seconds)
        periods, cpu1, t1 = loop.get_stats().period, process_cpu(spinner), time.monotonic()
        if spinner:
            spinner.stop()
        try:
            loop.get_last_position()
            failures = 0
        except RuntimeError:  # the loop keeps no count; its last read failed
            failures = 1
    finally:
        loop.close()
    return {"ticks": len(periods) - first, "seconds": t1 - t0, "periods": periods[first:],
            "cpu": cpu1 - cpu0, "failures": failures}


def main(argv: list[str]) -> None:
    side, serial, can_channel, command, *args = argv
    if command == "loop" and side == "module":
        emit(module_loop(serial, can_channel, float(args[0]), float(args[1]), args[2:] == ["spin"]))
        return
    torso = open_side(side, serial, can_channel)
    try:
        if command == "read":
            # A check of values, not of timing: a reply late on a loaded machine is asked again.
            for attempt in range(3):
                try:
                    emit({"values": torso.read_ten()})
                    break
                except Exception:  # noqa: BLE001
                    if attempt == 2:
                        raise
        elif command == "write-arms":
            torso.write_arms([float(a) for a in args])
            emit({})
        elif command == "read-after-stale":
            for attempt in range(2):
                try:
                    emit({"values": torso.read_ten()})
                except Exception as error:  # noqa: BLE001 - reported to the driver
                    emit({"error": str(error)})
                if attempt == 0:
                    sys.stdin.readline()
        elif command == "time":
            emit(time_calls(*operation(torso, args[0]), int(args[1])))
        elif command == "trace":
            emit(trace_calls(*operation(torso, args[0]), int(args[1]), args[2:]))
        elif command == "loop":
            emit(peer_loop(torso, float(args[0]), float(args[1]), args[2:] == ["spin"]))
        else:
            raise SystemExit(f"unknown command {command!r}")
    finally:
        torso.close()


if __name__ == "__main__":
    main(sys.argv[1:])
