"""quillet-monitor: runs the control loop with statistics and shows it at work.

Shows the ten joints, the loop's tick rate, the median and 99th percentile of its period and of
its read time, and errors as they happen, a few times a second: in a terminal view when rich is
installed and standard output is a terminal, as plain lines otherwise. ``--record FILE.csv``
keeps every position read it sees and the loop's timing samples. Ctrl-C closes the loop.

The monitor commands nothing, but starting the control loop reboots the servos, as the loop
always does at start-up: on a robot their torque goes off.
"""

from __future__ import annotations

import argparse
import logging
import math
import signal
import sys
import threading
import time
from collections import deque
from contextlib import ExitStack
from datetime import timedelta
from typing import Any, Callable, Sequence

from quillet_tools import timing
from quillet_tools.recording import JOINTS, SAMPLE_KINDS, Recorder, joint_values

PROGRAM = "quillet-monitor"
STATS_PUBLISH = 0.1  # seconds between the loop's publications of timing samples
REFRESH = 0.25       # seconds between two refreshes of the view
WINDOW = 5.0         # seconds of samples behind the figures shown
WINDOW_SAMPLES = 50_000  # of each kind at most (5 s at 10 kHz), whatever the loop's rate
MIN_SAMPLES = 5      # fewer samples show no tick rate
LOGGER = "quillet_motor_controller"
SERVO_JOINTS = 7


class Watch:
    """What the monitor has seen of one running loop. Filled by a sampling thread and by the
    module's log records; read by the view under `lock`."""

    def __init__(self, loop: Any, period: float, recorder: Recorder | None) -> None:
        self.loop = loop
        self.period = period
        self.recorder = recorder
        self.started = time.monotonic()
        self.lock = threading.Lock()
        self.latest: list[float] | None = None
        self.torque: str = "?"
        self.reads = 0
        self.errors = 0
        self.events: deque[tuple[float, str, str]] = deque(maxlen=200)
        self.event_count = 0
        # Samples taken in so far, and their spread for the summary, per kind.
        self.totals = dict.fromkeys(SAMPLE_KINDS, 0)
        self.tallies = {k: timing.Tally() for k in SAMPLE_KINDS}
        # (arrival time, sample) of the last WINDOW seconds, per kind.
        self.windows: dict[str, deque[tuple[float, float]]] = {
            k: deque(maxlen=WINDOW_SAMPLES) for k in SAMPLE_KINDS}
        self._failing: list[str] | None = None  # the message and notes of the failure shown
        self._last_stamp: float | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="monitor-sampler", daemon=True)

    # -- events ------------------------------------------------------------------------------

    def event(self, level: str, text: str) -> None:
        with self.lock:
            self.events.append((time.monotonic() - self.started, level, text))
            self.event_count += 1
            if level == "ERROR":
                self.errors += 1

    # -- sampling ----------------------------------------------------------------------------

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()

    def _run(self) -> None:
        # A few polls per tick, so that every read is seen; the loop's own copy is the only
        # place a read can be taken from.
        poll = max(self.period / 4, 0.0005)
        next_stats = 0.0
        while not self._stop.wait(poll):
            self.poll_position()
            now = time.monotonic()
            if now >= next_stats:
                self.collect_stats()
                next_stats = now + REFRESH

    def poll_position(self) -> None:
        try:
            position = self.loop.get_last_position()
        except RuntimeError as error:
            # The message is fixed; the notes tell the cause (bus, joint, attempts), which may change.
            notes = getattr(error, "__notes__", [])
            if self._failing != [str(error), *notes]:
                self._failing = [str(error), *notes]
                self.event("ERROR", f"position read failed: {error}")
                for note in notes:
                    self.event("ERROR", f"  {note}")
            return
        if self._failing is not None:
            self._failing = None
            self.event("INFO", "position reads work again")
        if position.timestamp == self._last_stamp:
            return
        self._last_stamp = position.timestamp
        values = joint_values(position)
        with self.lock:
            self.latest = values
            self.reads += 1
            if self.recorder is not None:
                self.recorder.position(position.timestamp, values)

    def collect_stats(self) -> None:
        """Takes the samples published since the last call, and only those: a refresh costs the
        same after hours as in the first minute."""
        stats = self.loop.get_stats()
        try:
            torque = "on" if self.loop.is_torque_enabled() else "off"
        except RuntimeError:
            torque = "?"
        now = time.monotonic()
        with self.lock:
            self.torque = torque
            for kind in SAMPLE_KINDS:
                new = stats.samples_since(kind, self.totals[kind])
                self.totals[kind] += len(new)
                self.tallies[kind].add(new)
                window = self.windows[kind]
                window.extend((now, v) for v in new)
                while window and window[0][0] < now - WINDOW:
                    window.popleft()
                if self.recorder is not None and new:
                    self.recorder.samples(kind, new)
            if self.recorder is not None:
                self.recorder.flush()

    # -- figures -----------------------------------------------------------------------------

    def figures(self) -> dict[str, float]:
        """Tick rate and period and read-time quantiles over the last WINDOW seconds."""
        with self.lock:
            period = [v for _, v in self.windows["period"]]
            read = [v for _, v in self.windows["read_dt"]]
        # The first sample of a run is the near-zero wait for tick 0: a handful says nothing yet.
        mean = sum(period) / len(period) if len(period) >= MIN_SAMPLES else math.nan
        return {
            "rate": 1 / mean if mean > 0 else math.nan,
            "period_p50": timing.median(period), "period_p99": timing.percentile(period, 99),
            "read_p50": timing.median(read), "read_p99": timing.percentile(read, 99),
        }


class _Events(logging.Handler):
    def __init__(self, watch: Watch) -> None:
        super().__init__(logging.INFO)
        self.watch = watch

    def emit(self, record: logging.LogRecord) -> None:
        self.watch.event(record.levelname, record.getMessage())


def _joint_rows(watch: Watch) -> list[tuple[str, str, str]]:
    rows = []
    for index, joint in enumerate(JOINTS):
        value = "-" if watch.latest is None else f"{watch.latest[index]:+.3f}"
        # The loop keeps the servos' torque state; the neck's is not kept anywhere readable.
        torque = watch.torque if index < SERVO_JOINTS else "n/a"
        rows.append((joint, value, torque))
    return rows


def _loop_line(watch: Watch, figures: dict[str, float]) -> str:
    rate = "-" if math.isnan(figures["rate"]) else f"{figures['rate']:.1f}"
    return (f"{rate} ticks/s   period p50 {timing.ms(figures['period_p50'])} "
            f"p99 {timing.ms(figures['period_p99'])}   read p50 {timing.ms(figures['read_p50'])} "
            f"p99 {timing.ms(figures['read_p99'])}")


class PlainView:
    """One status line a second and each event as it comes: for logs, pipes and tests."""

    def __init__(self, watch: Watch, title: str) -> None:
        self.watch = watch
        self.shown_events = 0
        self.next_line = 0.0
        print(title, flush=True)

    def __enter__(self) -> PlainView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.refresh()

    def refresh(self) -> None:
        watch = self.watch
        with watch.lock:
            unseen = min(watch.event_count - self.shown_events, len(watch.events))
            fresh = list(watch.events)[len(watch.events) - unseen:]
            self.shown_events = watch.event_count
        for at, level, text in fresh:
            print(f"{at:8.3f}s {level:<7} {text}", flush=True)
        now = time.monotonic() - watch.started
        if now < self.next_line:
            return
        self.next_line = now + 1.0
        with watch.lock:
            joints = " ".join(value for _, value, _ in _joint_rows(watch))
            torque, reads, errors = watch.torque, watch.reads, watch.errors
        print(f"{now:8.3f}s {_loop_line(watch, watch.figures())}   torque {torque}   reads {reads}   "
              f"errors {errors}", flush=True)
        print(f"{'':9} positions rad: {joints}", flush=True)


class RichView:
    """A live terminal view."""

    def __init__(self, watch: Watch, title: str) -> None:
        from rich.live import Live

        self.watch = watch
        self.title = title
        self.live = Live(self._render(), refresh_per_second=1 / REFRESH, transient=False)

    def __enter__(self) -> RichView:
        self.live.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        self.refresh()
        self.live.__exit__(None, None, None)

    def refresh(self) -> None:
        self.live.update(self._render())

    def _render(self) -> Any:
        from rich.console import Group
        from rich.panel import Panel
        from rich.table import Table
        from rich.text import Text

        watch = self.watch
        figures = watch.figures()
        with watch.lock:
            rows = _joint_rows(watch)
            events = list(watch.events)[-8:]
            reads, errors, ticks = watch.reads, watch.errors, watch.totals["period"]
        joints = Table(title="joints", title_justify="left", expand=False)
        joints.add_column("joint")
        joints.add_column("position rad", justify="right")
        joints.add_column("torque")
        for joint, value, torque in rows:
            joints.add_row(joint, value, torque)
        elapsed = time.monotonic() - watch.started
        loop = Text(f"loop: {_loop_line(watch, figures)}\n"
                    f"running {elapsed:.1f} s   reads seen {reads} (ticks {ticks})   "
                    f"errors {errors}   Ctrl-C stops")
        log = Text()
        for at, level, text in events:
            style = "bold red" if level in ("ERROR", "WARNING") else "dim"
            log.append(f"{at:8.3f}s {level:<7} {text}\n", style=style)
        return Group(Text(self.title, style="bold"), joints, loop,
                     Panel(log or Text("none yet", style="dim"), title="events", title_align="left"))


def _parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Run the control loop with statistics and watch the joints, its timing and its "
                    "errors. Starting the loop reboots the servos (their torque goes off).")
    parser.add_argument("--serial", metavar="PATH", help="serial device of the servo bus "
                        "(left out: a neck-only loop)")
    parser.add_argument("--can", metavar="IFACE", default="can0",
                        help="SocketCAN interface of the neck (default: can0)")
    parser.add_argument("--period", default="10ms", help="read period of the loop, e.g. 2ms (default: 10ms)")
    parser.add_argument("--record", metavar="FILE.csv", help="write every position read seen and the "
                        "loop's timing samples to this CSV file")
    parser.add_argument("--duration", type=float, metavar="SECONDS",
                        help="stop after this long (default: run until Ctrl-C)")
    parser.add_argument("--sim", action="store_true", help="run against a virtual torso with wire "
                        "timing, whose joints are moved slowly by hand")
    parser.add_argument("--plain", action="store_true", help="plain lines even in a terminal")
    args = parser.parse_args(argv)
    try:
        args.period_s = timing.parse_duration(args.period)
    except ValueError as error:
        parser.error(f"--period {error}")
    if args.duration is not None and not args.duration > 0:
        parser.error("--duration must be greater than zero")
    if args.sim and args.serial:
        parser.error("--sim brings its own serial device: leave --serial out")
    return args


def _make_view(args: argparse.Namespace, watch: Watch, title: str) -> PlainView | RichView:
    if args.plain or not sys.stdout.isatty():
        return PlainView(watch, title)
    try:
        return RichView(watch, title)
    except ImportError:
        print(f"{PROGRAM}: the terminal view needs rich (pip install 'quillet_motor_controller[tools]'); "
              "showing plain lines", file=sys.stderr)
        return PlainView(watch, title)


def _stop_on_signals(stop: threading.Event) -> Callable[[], None]:
    """Ctrl-C and SIGTERM only ask for the stop, so that the loop is always closed; returns the
    undo."""
    previous = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)}
    for s in previous:
        signal.signal(s, lambda *_: stop.set())

    def restore() -> None:
        for s, handler in previous.items():
            signal.signal(s, handler)

    return restore


def _summary(watch: Watch) -> str:
    """The whole run, from what the watch took in: nothing is copied again at the end."""
    period, read = watch.tallies["period"], watch.tallies["read_dt"]
    return (f"{PROGRAM}: {watch.totals['period']} ticks, {watch.reads} reads seen, "
            f"{watch.totals['write_dt']} commands; "
            f"period p50 {timing.ms(period.percentile(50))} p99 {timing.ms(period.percentile(99))}; "
            f"read p50 {timing.ms(read.percentile(50))} p99 {timing.ms(read.percentile(99))}; "
            f"errors {watch.errors}")


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse_args(argv)
    if args.sim:
        from quillet_tools import virtual

        virtual.run_under_preload(PROGRAM)
    from quillet_motor_controller import QuilletPyControlLoop

    with ExitStack() as stack:
        serial, can = args.serial, args.can
        if args.sim:
            from quillet_tools import virtual

            torso = virtual.start_torso()
            stack.callback(torso.stop)
            serial, can = torso.serial_path, torso.can_interface
            stack.enter_context(virtual.HandMover(torso))

        recorder = Recorder(args.record) if args.record else None
        if recorder is not None:
            stack.callback(recorder.close)

        # The bridge reads a logger's level once, at its first record: set it before the loop
        # starts, and keep the records off the screen's last-resort handler.
        logger = logging.getLogger(LOGGER)
        logger.setLevel(logging.INFO)
        logger.propagate = False
        placeholder = Watch(None, args.period_s, None)
        handler = _Events(placeholder)
        logger.addHandler(handler)
        stack.callback(logger.removeHandler, handler)

        # From here on Ctrl-C only asks for the stop: one pressed during the start-up (which
        # holds the interpreter until it ends) closes the loop as soon as it has started.
        stop = threading.Event()
        stack.callback(_stop_on_signals(stop))
        print(f"{PROGRAM}: starting the control loop on {serial or '(no servo bus)'} and {can}, "
              f"period {args.period}; this reboots the servos", file=sys.stderr, flush=True)
        try:
            loop = QuilletPyControlLoop(serial, timedelta(seconds=args.period_s), can_bus=can,
                                        stats_pub_period=timedelta(seconds=STATS_PUBLISH))
        except RuntimeError as error:
            for _, level, text in placeholder.events:
                print(f"{level:<7} {text}", file=sys.stderr)
            print(f"{PROGRAM}: the control loop did not start: {error}", file=sys.stderr)
            for note in getattr(error, "__notes__", []):
                print(f"{PROGRAM}:   {note}", file=sys.stderr)
            print(f"{PROGRAM}: quillet-scan --serial {serial or 'PATH'} --can {can} shows which device is "
                  f"at fault", file=sys.stderr)
            return 1
        stack.callback(loop.close)

        watch = Watch(loop, args.period_s, recorder)
        watch.events.extend(placeholder.events)
        watch.event_count = len(watch.events)
        handler.watch = watch

        title = (f"{PROGRAM}: serial {serial or '-'}  CAN {can}  period {args.period}"
                 + ("  (virtual torso)" if args.sim else ""))
        deadline = None if args.duration is None else time.monotonic() + args.duration
        watch.start()
        try:
            with _make_view(args, watch, title) as view:
                while True:
                    left = math.inf if deadline is None else deadline - time.monotonic()
                    if left <= 0 or stop.wait(min(REFRESH, left)):
                        break
                    view.refresh()
        finally:
            watch.stop()
            loop.close()
            # The samples of the loop's last passes, published before it ended.
            watch.collect_stats()
        print(_summary(watch), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
