"""The fault matrix of QuilletPyControlLoop on the virtual torso.

Each fault the torso can inject is applied to a running loop (10 ms period) while Python threads
queue commands, wait for replies and read positions. Printed per fault: what get_last_position
reported while the fault was on, how long after its removal the loop reported a fresh position
again, how many ticks the loop made meanwhile, how long close took with the fault on again,
whether every command accepted into the queue ran and every caller got an answer, and whether
the process's descriptors and threads were back where they started.

    .venv/bin/python bench/faults/fault_matrix.py [--only NAME ...]

tests/faults checks the same cases one by one; this prints them side by side.
"""

from __future__ import annotations

import argparse
import gc
import logging
import os
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path

from quillet_sim import VirtualTorso, restart_under_preload

PERIOD = timedelta(milliseconds=10)
HEALTHY_TIME = 0.2     # s of normal running before the fault
FAULT_TIME = 0.4       # s with the fault on
RECOVERY_LIMIT = 5.0   # s allowed for a fresh position after the fault is removed
JOIN_LIMIT = 5.0       # s allowed for a caller thread to end once the loop is closed
PING_5 = bytes([0xFF, 0xFF, 0x05, 0x02, 0x01, 0xF7])
FAILURE = "Motor communication error! Check connections and power supply."
LOOP_LOGGER = "quillet_motor_controller.control_loop"


# ---- The faults -------------------------------------------------------------------------------

Action = Callable[[VirtualTorso], None]


def _nothing(torso: VirtualTorso) -> None:
    pass


@dataclass(frozen=True)
class Fault:
    name: str
    apply: Action
    remove: Action
    rearm: Action | None = None        # a one-shot fault, armed again every `rearm_every` while on
    rearm_every: float = 0.015
    reads_fail: bool = True            # get_last_position reports the fault while it is on
    same_loop_recovers: bool = True    # the running loop reports positions again after removal
    flood: bool = False                # several threads keep the queue full
    note: str = ""


def _noise_bytes(torso: VirtualTorso) -> None:
    torso.inject_serial_bytes(bytes([0xFF, 0x00, 0xA5, 0x5A, 0xFF, 0xFF, 0x13]) * 3)


def _mit_mode_back(torso: VirtualTorso) -> None:
    torso.motor(3).set_control_mode(1)


FAULTS: list[Fault] = [
    Fault("silent servo", lambda t: t.servo(3).set_silent(True), lambda t: t.servo(3).set_silent(False),
          note="servo 3 times out; the read is retried, then reported"),
    Fault("corrupted reply", _nothing, _nothing, rearm=lambda t: t.servo(3).corrupt_next_reply(),
          note="bad checksum: a protocol error, reported without retry"),
    Fault("reply past time-out", lambda t: t.servo(3).set_reply_delay(0.05),
          lambda t: t.servo(3).set_reply_delay(0.0), note="every reply of servo 3 is 50 ms late"),
    Fault("one reply past time-out", lambda t: t.servo(3).delay_next_reply(0.05), _nothing,
          reads_fail=False, note="the retry reads it; \"Serial I/O recovered after 1 retries\""),
    Fault("garbage on the line", _nothing, _nothing, rearm=_noise_bytes, rearm_every=0.003,
          note="stray bytes: cleared before a send, or a bad header mid-read"),
    Fault("byte stream on the line", lambda t: t.set_serial_noise(20), lambda t: t.set_serial_noise(0),
          note="the input never goes quiet: every send refuses to start"),
    Fault("low supply", lambda t: t.set_supply_voltage(70), lambda t: t.set_supply_voltage(120), reads_fail=False,
          note="servos still answer; the supply is checked only at start-up"),
    Fault("supply ramping down", lambda t: t.ramp_supply_voltage(120, 60, FAULT_TIME),
          lambda t: t.set_supply_voltage(120), reads_fail=False, note="as a low supply"),
    Fault("silent motor", lambda t: t.motor(2).set_silent(True), lambda t: t.motor(2).set_silent(False),
          note="neck pitch times out after 20 ms; neck reads are not retried"),
    Fault("blocked motor", lambda t: t.motor(2).set_blocked(True), lambda t: t.motor(2).set_blocked(False),
          reads_fail=False, note="it answers but does not move: reads go on"),
    Fault("late motor reply", lambda t: t.motor(1).set_reply_delay(0.05),
          lambda t: t.motor(1).set_reply_delay(0.0),
          note="50 ms, past the 20 ms wait: a late frame already waiting is discarded before the next "
               "request; one still on its way is taken for the next answer (no sequence on the bus), so "
               "readings are one exchange old while the fault lasts, and current once it is gone"),
    Fault("motor in wrong mode", lambda t: t.motor(3).set_control_mode(2), _mit_mode_back, reads_fail=False,
          note="it ignores MIT frames (commands time out); feedback still answered"),
    Fault("foreign CAN frames", lambda t: t.set_foreign_traffic(period=0.0005, before_reply=2),
          lambda t: t.set_foreign_traffic(period=None, before_reply=0), reads_fail=False,
          note="other ids are skipped while a reply is awaited"),
    Fault("serial unplugged", lambda t: t.unplug(), lambda t: t.plug_in(), same_loop_recovers=False,
          note="the loop keeps its descriptor to the old terminal, dead for good; a new loop opens the new one"),
    Fault("queue kept full", _nothing, _nothing, reads_fail=False, flood=True,
          note="4 threads queue without pause; ticks and commands share the loop by coin"),
]


# ---- Running one case -------------------------------------------------------------------------

def open_fds() -> set[tuple[str, str]]:
    fds = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds.add((fd, os.readlink(f"/proc/self/fd/{fd}")))
        except OSError:
            pass  # the descriptor of the listing itself
    return fds


def os_threads() -> set[str]:
    return set(os.listdir("/proc/self/task"))


@dataclass
class Sample:
    at: float                 # time.monotonic()
    ok: bool
    timestamp: float          # the position's wall-clock stamp (0 for a failure)
    error: str                # the failure's text ("" for a position)


class Callers:
    """The Python side: queueing threads, a thread that waits for replies, and a reader."""

    def __init__(self, loop, queuers: int, pace: float) -> None:
        self.loop = loop
        self.queueing = threading.Event()
        self.running = threading.Event()
        self.lock = threading.Lock()
        self.nose_accepted = 0
        self.roll_accepted = 0
        self.answered = 0
        self.refused = 0
        self.samples: list[Sample] = []
        self.threads = [threading.Thread(target=self._queue, args=(k, pace), daemon=True) for k in range(queuers)]
        self.threads.append(threading.Thread(target=self._ask, daemon=True))
        self.threads.append(threading.Thread(target=self._read, daemon=True))

    def start(self) -> None:
        self.queueing.set()
        self.running.set()
        for thread in self.threads:
            thread.start()

    def _queue(self, k: int, pace: float) -> None:
        i = 0
        try:
            while self.queueing.is_set():
                i += 1
                value = 0.001 * ((i + 17 * k) % 100)
                self.loop.set_nose_position([value] * 3)
                with self.lock:
                    self.nose_accepted += 1
                # Each thread ends on a neck command: the nose commands before it ran if it ran.
                self.loop.set_neck_roll_position(value)
                with self.lock:
                    self.roll_accepted += 1
                if pace:
                    time.sleep(pace)
        except RuntimeError as error:
            assert str(error) == "channel closed", error

    def _ask(self) -> None:
        while self.running.is_set():
            for call in (lambda: self.loop.async_read_raw_bytes(5, 56, 2), lambda: self.loop.write_raw_packet(PING_5)):
                try:
                    call()
                    with self.lock:
                        self.answered += 1
                except RuntimeError:
                    with self.lock:
                        self.refused += 1
            time.sleep(0.005)

    def _read(self) -> None:
        while self.running.is_set():
            try:
                position = self.loop.get_last_position()
                sample = Sample(time.monotonic(), True, position.timestamp, "")
            except RuntimeError as error:
                sample = Sample(time.monotonic(), False, 0.0, str(error))
            with self.lock:
                self.samples.append(sample)
            time.sleep(0.002)

    def stop_queueing(self) -> None:
        self.queueing.clear()

    def stop(self) -> list[threading.Thread]:
        """Ends every thread; those still alive after JOIN_LIMIT are left waiting."""
        self.queueing.clear()
        self.running.clear()
        end = time.monotonic() + JOIN_LIMIT
        for thread in self.threads:
            thread.join(max(0.0, end - time.monotonic()))
        return [t for t in self.threads if t.is_alive()]

    def samples_between(self, start: float, end: float) -> list[Sample]:
        with self.lock:
            return [s for s in self.samples if start <= s.at <= end]

    def first_fresh_after(self, at: float, wall: float) -> Sample | None:
        with self.lock:
            return next((s for s in self.samples if s.at >= at and s.ok and s.timestamp > wall), None)


class Records(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


@dataclass
class Outcome:
    fault: str
    errors_seen: list[str] = field(default_factory=list)   # distinct texts while the fault was on
    fresh_during_fault: bool = False     # some position read entirely while the fault was on
    fails_after_removal: bool = False    # only failures for 0.3 s after the removal (unplug)
    ticks_during_fault: int = 0
    recovery_s: float | None = None      # removal to the first fresh position (same loop)
    new_loop_s: float | None = None      # after an unplug: plug-in to a new loop's first position
    close_s: float = 0.0                 # close with the fault on again
    nose_accepted: int = 0
    nose_on_line: int = 0
    roll_accepted: int = 0
    roll_on_bus: int = 0
    answered: int = 0
    refused: int = 0
    left_waiting: int = 0
    fds_back: bool = False
    threads_back: bool = False
    recovery_logs: int = 0               # "Serial I/O recovered after ..." records


def _ticks(loop) -> int:
    return len(loop.get_stats().period)


def _wait_fresh(callers: Callers, since: float, wall: float) -> float | None:
    end = since + RECOVERY_LIMIT
    while time.monotonic() < end:
        sample = callers.first_fresh_after(since, wall)
        if sample:
            return sample.at - since
        time.sleep(0.002)
    return None


def _nose_writes(torso: VirtualTorso) -> int:
    # Sync writes of the goal position (register 42) to the nose servos 5, 6, 7.
    return sum(1 for r in torso.servo_traffic()
               if r.source == "host" and r.kind == "packet" and len(r.data) > 7
               and r.data[4] == 0x83 and r.data[5] == 42 and r.data[7] == 5)


def _roll_commands(torso: VirtualTorso) -> int:
    # MIT frames to motor 3 (enable and disable frames are not commands of the queueing threads).
    special = (bytes([0xFF] * 7 + [0xFC]), bytes([0xFF] * 7 + [0xFD]))
    return sum(1 for r in torso.can_traffic() if r.source == "client" and r.can_id == 3 and r.data not in special)


def run_case(torso: VirtualTorso, fault: Fault) -> Outcome:
    """One fault on a running loop. The torso must have been started with a serial link path."""
    from quillet_motor_controller import QuilletPyControlLoop

    outcome = Outcome(fault.name)
    logger = logging.getLogger(LOOP_LOGGER)
    records = Records()
    logger.addHandler(records)
    torso.servo_traffic(), torso.can_traffic()
    gc.collect()  # what earlier cases left to the collector is not this case's
    fds, threads = open_fds(), os_threads()

    def start_loop():
        return QuilletPyControlLoop(torso.serial_path, PERIOD, can_bus=torso.can_interface,
                                    stats_pub_period=timedelta(milliseconds=50))

    loop = start_loop()
    callers = Callers(loop, queuers=4 if fault.flood else 1, pace=0.0 if fault.flood else 0.005)
    callers.start()
    try:
        time.sleep(HEALTHY_TIME)

        on, on_wall = time.monotonic(), time.time()
        ticks = _ticks(loop)
        fault.apply(torso)
        while time.monotonic() - on < FAULT_TIME:
            if fault.rearm:
                fault.rearm(torso)
            time.sleep(fault.rearm_every)
        outcome.ticks_during_fault = _ticks(loop) - ticks
        during = callers.samples_between(on, time.monotonic())
        outcome.errors_seen = sorted({s.error for s in during if not s.ok})
        # A read that began after the fault was applied (the one in flight may predate it).
        outcome.fresh_during_fault = any(s.ok and s.timestamp > on_wall + 0.05 for s in during)

        off, off_wall = time.monotonic(), time.time()
        fault.remove(torso)
        if fault.same_loop_recovers:
            outcome.recovery_s = _wait_fresh(callers, off, off_wall)
        else:
            time.sleep(0.3)
            after = callers.samples_between(off + 0.05, time.monotonic())
            outcome.fails_after_removal = bool(after) and not any(s.ok for s in after)
        if not fault.flood:  # the flood goes on through close: the queue is full when it starts
            callers.stop_queueing()
            time.sleep(0.1)

        fault.apply(torso)
        time.sleep(0.05)  # a read under the fault is under way
        started = time.monotonic()
        loop.close()
        outcome.close_s = time.monotonic() - started
        fault.remove(torso)
    finally:
        loop.close()
        left = callers.stop()
    outcome.left_waiting = len(left)
    outcome.nose_accepted, outcome.roll_accepted = callers.nose_accepted, callers.roll_accepted
    outcome.answered, outcome.refused = callers.answered, callers.refused
    outcome.nose_on_line, outcome.roll_on_bus = _nose_writes(torso), _roll_commands(torso)
    del loop, callers
    # Nothing opened or started during the case is left (what others close meanwhile is theirs).
    outcome.fds_back = not open_fds() - fds
    outcome.threads_back = not os_threads() - threads

    if not fault.same_loop_recovers:
        # A new loop opens the terminal that came back.
        started = time.monotonic()
        fresh = start_loop()
        fresh.get_last_position()
        outcome.new_loop_s = time.monotonic() - started
        fresh.close()
    logger.removeHandler(records)
    outcome.recovery_logs = sum(1 for m in records.messages if m.startswith("Serial I/O recovered after"))
    return outcome


# ---- The table --------------------------------------------------------------------------------

def _ms(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.0f} ms"


def _reported(outcome: Outcome) -> str:
    if not outcome.errors_seen:
        return "positions"
    texts = ["CommunicationFailure" if e == FAILURE else e for e in outcome.errors_seen]
    return ", ".join(texts) + (" / positions" if outcome.fresh_during_fault else "")


def table(outcomes: list[Outcome]) -> str:
    faults = {f.name: f for f in FAULTS}
    head = ("fault", "while on", "ticks", "recovery", "close", "nose ran", "roll ran", "replies",
            "waiting", "fds", "threads")
    rows = [head]
    for o in outcomes:
        fault = faults[o.fault]
        recovery = (_ms(o.recovery_s) if fault.reads_fail else "-") if fault.same_loop_recovers \
            else f"new loop {_ms(o.new_loop_s)}"
        rows.append((
            o.fault, _reported(o), str(o.ticks_during_fault), recovery, _ms(o.close_s),
            f"{o.nose_on_line}/{o.nose_accepted}", f"{o.roll_on_bus}/{o.roll_accepted}",
            f"{o.answered} ok, {o.refused} err", str(o.left_waiting),
            "back" if o.fds_back else "LEAK", "back" if o.threads_back else "LEAK",
        ))
    widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    notes = [f"  {o.fault}: {faults[o.fault].note}" for o in outcomes if faults[o.fault].note]
    return "\n".join(lines + ["", "Notes:"] + notes)


LEGEND = f"""\
Fault matrix of QuilletPyControlLoop ({PERIOD.total_seconds() * 1000:.0f} ms period, 5 attempts per servo read),
{FAULT_TIME * 1000:.0f} ms of fault while 1 thread queues a nose and a neck-roll command every 5 ms (4 threads
without pause for "queue kept full"), 1 thread waits on async_read_raw_bytes and write_raw_packet and
1 thread reads get_last_position every 2 ms.
  while on  what get_last_position reported while the fault was on
  ticks     position reads the loop made while the fault was on
  recovery  fault removed -> first position read after the removal
  close     close() 50 ms after the fault was put on again (the queueing threads stopped 0.1 s
            before, except for "queue kept full")
  nose ran  nose goal writes on the servo line / nose commands accepted into the queue
  roll ran  MIT frames to the roll motor on the CAN bus / roll commands accepted
  replies   calls of the replying thread answered / raising; waiting: callers still blocked
  fds, threads  the process's open descriptors and OS threads after close, against before
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="*", help="fault names to run (default: all)")
    args = parser.parse_args()
    restart_under_preload()  # the module reaches the torso's CAN bus only through the stand-in
    logging.getLogger(LOOP_LOGGER).setLevel(logging.INFO)
    chosen = [f for f in FAULTS if not args.only or f.name in args.only]
    outcomes = []
    # The servo layer prints a line on standard output for every bad checksum; keep the table clear.
    sys.stdout.flush()
    saved_stdout = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        with tempfile.TemporaryDirectory() as folder:
            for fault in chosen:
                with VirtualTorso(serial_link=str(Path(folder) / "ttyQUILLET")) as torso:
                    outcomes.append(run_case(torso, fault))
                print(f"  done: {fault.name}", file=sys.stderr, flush=True)
    finally:
        os.dup2(saved_stdout, 1)
        os.close(devnull)
        os.close(saved_stdout)
    print(LEGEND)
    print(table(outcomes))


if __name__ == "__main__":
    main()
