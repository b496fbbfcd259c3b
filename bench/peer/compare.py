"""The module beside what a user would pick instead: the servo maker's Python SDK (with pyserial)
for the arms and the nose, and python-can for the neck, on the same virtual torso.

    .venv/bin/python bench/peer/compare.py [--reads 1000] [--rounds 5] [--loop-seconds 2]

The peer stack is installed, on first use, into an environment of its own under the user's cache
directory (bench/peer/requirements.txt pins it); the project's environment is left alone. Before
timing anything, the peer client must return the same ten values as the module and leave the
same goal registers behind, or the run stops.

Then, with and without wire timing, each side in turn runs in a fresh process against the same
torso (the serial port is exclusive), interleaved over several rounds:
  * a ten-joint read (module: read_all_positions + read_neck_positions; peer: a group sync read
    per servo model and three feedback exchanges on python-can's socketcan bus) and a four-arm
    goal write: median and 99th percentile of wall and CPU time per call, user and system CPU
    per call, and system calls per call (counted in a run of their own, so that counting slows
    no timed call);
  * a stale-input probe: a reply that comes late, then a read after the joint has moved;
  * with wire timing, the loop: a Python thread reading the ten joints through the peer stack at
    a fixed period beside QuilletPyControlLoop, at 100, 250 and 500 Hz, alone and with another
    Python thread spinning: ticks achieved, 99th percentile of the period's deviation, process
    CPU per tick (the spinning thread's own CPU left out).

CPU figures are this client's process only, not the torso's; the user and system split is the
kernel's estimate from sampling, and is rough for short totals. System calls are counted with
perf (the Debian package linux-perf), or strace where perf cannot count; either is installed
with apt-get when missing and the benchmark runs as root.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quillet_sim import VirtualTorso, preload_path  # noqa: E402

from sides import LATE_REPLY_S, MOVE_STEPS, SIDES, Sides, check_peer_client, stale_probe  # noqa: E402
from worker import MARK_BEGIN, MARK_END  # noqa: E402

LABEL = {"module": "module", "peer": "SDK + python-can"}
LOOP_RATES = (100, 250, 500)
US = 1e6


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


# ---- system calls ---------------------------------------------------------------------------------

# The SocketCAN stand-in checks the socket behind each CAN call it serves with one of these, a
# call that a kernel's own SocketCAN does not make; no other code here makes it between the
# markers.
STAND_IN_CALL = "newfstatat"
# Counted one by one; the rest of the total shows as "other".
SYSCALL_NAMES = ("read", "write", "pselect6", "select", "poll", "ppoll", "epoll_wait", "ioctl",
                 "recvmsg", "recvfrom", "sendto", "sendmsg", "setsockopt", "getsockopt",
                 "newfstatat", "futex", "clock_nanosleep", "nanosleep", "fcntl", "lseek")


def ensure_tool(command: str, package: str) -> str | None:
    found = shutil.which(command)
    if found or os.geteuid() != 0 or not shutil.which("apt-get"):
        return found
    print(f"installing {package} (Debian package) to count system calls", file=sys.stderr, flush=True)
    quiet = {"stdout": subprocess.DEVNULL, "env": dict(os.environ, DEBIAN_FRONTEND="noninteractive")}
    subprocess.run(["apt-get", "update", "-qq"], check=False, **quiet)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", package],
                   check=False, **quiet)
    return shutil.which(command)


class SyscallCounter:
    """System calls of N calls, by name.

    perf counts in the kernel with its counters switched on by the worker around the calls
    alone, and slows nothing. strace, the fallback, stops the process at every call, so a client
    that polls makes fewer polls under it than it really does.
    """

    def __init__(self) -> None:
        self.perf = ensure_tool("perf", "linux-perf")
        if self.perf and not self._perf_works():
            self.perf = None
        self.strace = None if self.perf else ensure_tool("strace", "strace")
        self.tool = "perf" if self.perf else "strace" if self.strace else None

    def _perf_works(self) -> bool:
        probe = subprocess.run([self.perf, "stat", "-x,", "-e", "raw_syscalls:sys_enter", "--", "true"],
                               capture_output=True, text=True)
        return probe.returncode == 0 and "<not supported>" not in probe.stderr

    def count(self, sides: Sides, side: str, torso: VirtualTorso, what: str, n: int) -> Counter[str] | None:
        if self.tool is None:
            return None
        plain = {k: v for k, v in sides.env.items() if k != "LD_PRELOAD"}  # the tool itself runs plain
        preload = f"LD_PRELOAD={sides.env['LD_PRELOAD']}"
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "out"
            if self.perf:
                ctl, ack = Path(tmp) / "ctl", Path(tmp) / "ack"
                os.mkfifo(ctl)
                os.mkfifo(ack)
                events = ",".join(["raw_syscalls:sys_enter", *(f"syscalls:sys_enter_{name}" for name in SYSCALL_NAMES)])
                command = [self.perf, "stat", "-x,", "-D", "-1", "--control", f"fifo:{ctl},{ack}",
                           "-e", events, "-o", str(out), "--", "env", preload,
                           *sides.command(side, torso, "trace", what, n, ctl, ack)]
            else:
                command = [self.strace, "-f", "-qq", "-o", str(out), "-E", preload,
                           *sides.command(side, torso, "trace", what, n)]
            subprocess.run(command, env=plain, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=600)
            text = out.read_text(encoding="utf-8", errors="replace")
        return self._parse_perf(text) if self.perf else self._parse_strace(text)

    @staticmethod
    def _parse_perf(text: str) -> Counter[str]:
        counts: Counter[str] = Counter()
        total = 0
        for line in text.splitlines():
            fields = line.split(",")
            if len(fields) > 2 and fields[0].isdigit():
                if fields[2] == "raw_syscalls:sys_enter":
                    total = int(fields[0])
                elif int(fields[0]):
                    counts[fields[2].removeprefix("syscalls:sys_enter_")] = int(fields[0])
        if total > sum(counts.values()):
            counts["other"] = total - sum(counts.values())
        return counts

    @staticmethod
    def _parse_strace(text: str) -> Counter[str]:
        counts: Counter[str] = Counter()
        inside = False
        for line in text.splitlines():
            if MARK_BEGIN in line:
                inside = True
            elif MARK_END in line:
                break
            elif inside and "resumed>" not in line:
                call = re.match(r"(?:\d+\s+)?([a-z_0-9]+)\(", line)
                if call:
                    counts[call.group(1)] += 1
        return counts


# ---- calls ----------------------------------------------------------------------------------------


def time_interleaved(sides: Sides, torso: VirtualTorso, what: str, calls: int, rounds: int) -> dict:
    merged = {side: {"wall": [], "cpu": [], "user": None, "system": None, "calls": 0, "failures": 0}
              for side in SIDES}
    for r in range(rounds):
        for side in (SIDES if r % 2 == 0 else SIDES[::-1]):
            result = sides.run(side, torso, "time", what, calls)
            m = merged[side]
            m["wall"] += result["wall"]
            m["cpu"] += result["cpu"]
            for key in ("user", "system"):
                if key in result:
                    m[key] = (m[key] or 0.0) + result[key]
            m["calls"] += calls
            m["failures"] += result["failures"]
    return merged


def print_calls(title: str, merged: dict, syscalls: dict[str, Counter[str] | None], n_traced: int) -> None:
    print(f"\n{title}")
    print(f"  {'':<18}{'wall median':>13}{'p99':>11}{'CPU median':>13}{'p99':>11}"
          f"{'user':>11}{'system':>11}{'syscalls':>10}")
    def us(seconds: float | None, width: int) -> str:
        return f"{seconds * US:{width - 3}.1f} us" if seconds is not None else f"{'-':>{width}}"

    def per_call(total: float | None, calls: int) -> float | None:
        return total / calls if total is not None else None

    for side in SIDES:
        m = merged[side]
        counts = syscalls.get(side)
        calls_column = f"{sum(counts.values()) / n_traced:10.1f}" if counts is not None else f"{'-':>10}"
        print(f"  {LABEL[side]:<18}{us(statistics.median(m['wall']), 13)}{us(percentile(m['wall'], 0.99), 11)}"
              f"{us(statistics.median(m['cpu']), 13)}{us(percentile(m['cpu'], 0.99), 11)}"
              f"{us(per_call(m['user'], m['calls']), 11)}{us(per_call(m['system'], m['calls']), 11)}{calls_column}")
    module, peer = merged["module"], merged["peer"]
    ratio = lambda key: statistics.median(peer[key]) / statistics.median(module[key])  # noqa: E731
    line = f"  peer / module: wall x{ratio('wall'):.1f}, CPU x{ratio('cpu'):.1f}"
    if module["user"] and peer["user"] is not None:
        line += f", user CPU x{peer['user'] / module['user']:.1f}"
    if all(syscalls.get(side) for side in SIDES):
        line += f", system calls x{sum(syscalls['peer'].values()) / sum(syscalls['module'].values()):.1f}"
    print(line)
    if all(syscalls.get(side) and syscalls[side][STAND_IN_CALL] for side in SIDES):
        plain = {side: (sum(syscalls[side].values()) - syscalls[side][STAND_IN_CALL]) / n_traced for side in SIDES}
        print(f"  system calls per call without the stand-in's {STAND_IN_CALL}: module {plain['module']:.1f}, "
              f"{LABEL['peer']} {plain['peer']:.1f} (x{plain['peer'] / plain['module']:.1f})")
    for side in SIDES:
        if merged[side]["failures"]:
            print(f"  {LABEL[side]}: {merged[side]['failures']} of {merged[side]['calls']} calls failed "
                  "(a reply past its time-out), left out of the figures")
    for side in SIDES:
        counts = syscalls.get(side)
        if counts:
            kinds = ", ".join(f"{name} {count / n_traced:.1f}" for name, count in counts.most_common())
            print(f"  system calls per call, {LABEL[side]}: {kinds}")


# ---- stale input ---------------------------------------------------------------------------------


def print_stale_probe(sides: Sides, torso: VirtualTorso) -> None:
    print(f"\nStale input: servo 1 answers one read {LATE_REPLY_S * 1e3:.0f} ms late, "
          f"then moves by {MOVE_STEPS} steps before the next read")
    for side in SIDES:
        late, next_read = stale_probe(sides, side, torso)
        next_read = {"new": "the new position",
                     "stale": "STALE, the late reply: the position before the move"}.get(next_read, next_read)
        print(f"  {LABEL[side]:<18} late read: {late}; next read of servo 1: {next_read}")


# ---- loop -----------------------------------------------------------------------------------------


def loop_rows(sides: Sides, torso: VirtualTorso, seconds: float) -> None:
    print(f"\nLoop reading the ten joints, wire timing on, {seconds:g} s per run "
          "(deviation: |period - nominal period|)")
    print(f"  {'':<50}{'ticks':>14}{'p99 deviation':>15}{'CPU per tick':>14}")
    skipped = None
    for hz in LOOP_RATES:
        for spin in (False, True):
            for side in SIDES:
                args = ["loop", hz, seconds] + (["spin"] if spin else [])
                result = sides.run(side, torso, *args)
                name = ("QuilletPyControlLoop" if side == "module" else "Python thread, SDK + python-can")
                label = f"{hz} Hz {name}{' + spinner' if spin else ''}"
                if "skipped" in result:
                    skipped = result["skipped"]
                    print(f"  {label:<50}{'skipped':>14}")
                    continue
                # The window is timed by the worker: a sleep can overshoot on a loaded machine.
                ticks, expected = result["ticks"], round(hz * result["seconds"])
                deviation = [abs(p - 1.0 / hz) for p in result["periods"]] or [float("nan")]
                cpu = result["cpu"] / max(1, ticks)
                failures = ""
                if result["failures"]:
                    failures = ("  (its last read failed)" if side == "module"
                                else f"  ({result['failures']} failed reads)")
                print(f"  {label:<50}{ticks:>7} of {expected:<4}{percentile(deviation, 0.99) * 1e3:10.2f} ms"
                      f"{cpu * US:11.0f} us{failures}")
    if skipped:
        print(f"  module side skipped: {skipped}")


# ---- main -----------------------------------------------------------------------------------------


def machine() -> str:
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            model = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}, Python {platform.python_version()}; "
            f"load average {load}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=1000, help="calls per side per round")
    parser.add_argument("--writes", type=int, default=2000, help="goal writes per side per round")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds per side")
    parser.add_argument("--traced", type=int, default=500, help="calls counted for system calls")
    parser.add_argument("--loop-seconds", type=float, default=2.0)
    parser.add_argument("--no-loop", action="store_true", help="leave the loop runs out")
    args = parser.parse_args()

    sides = Sides()
    syscalls = SyscallCounter()
    peer_versions = subprocess.run(
        [sides.python["peer"], "-c", "from importlib.metadata import version as v; "
         "print(', '.join(f'{p} {v(p)}' for p in ('feetech-servo-sdk', 'pyserial', 'python-can')))"],
        capture_output=True, text=True, check=True).stdout.strip()
    print(f"machine: {machine()}")
    print(f"peer stack: {peer_versions}")
    print(f"SocketCAN stand-in: {preload_path()}")
    print(f"system calls counted with: {syscalls.tool or 'nothing (neither perf nor strace here)'}")

    for wire in (False, True):
        with VirtualTorso(wire_timing=wire) as torso:
            problems = check_peer_client(sides, torso)
            if problems:
                print("the peer client does not do what the module does:\n  " + "\n  ".join(problems))
                raise SystemExit(1)
            wire_text = "wire timing on" if wire else "wire timing off"
            print(f"\n{wire_text}: the peer client returns the same ten values as the module "
                  "and leaves the same goal registers")
            for what, title, calls in (("read", "Ten-joint read", args.reads),
                                       ("write", "Four-arm goal write", args.writes)):
                merged = time_interleaved(sides, torso, what, calls, args.rounds)
                counts = {side: syscalls.count(sides, side, torso, what, args.traced) for side in SIDES}
                spaced = " spaced by 300 us (more than a write's wire time)" if what == "write" else ""
                print_calls(f"{title}, {wire_text}: {args.rounds} interleaved rounds of {calls} "
                            f"calls per side{spaced}", merged, counts, args.traced)
            if not wire:
                print_stale_probe(sides, torso)
            elif not args.no_loop:
                loop_rows(sides, torso, args.loop_seconds)

    for side in SIDES:
        for line in sorted(sides.stderr_lines[side]):
            print(f"note: the {LABEL[side]} side wrote to stderr: {line}")


if __name__ == "__main__":
    main()
