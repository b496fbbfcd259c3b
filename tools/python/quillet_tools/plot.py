"""quillet-plot: one picture of a monitor recording.

The joint positions over time (arms, nose and neck in panels of their own) and a histogram of
the loop's period with its median and 99th percentile marked. ``--sim`` first records a short
run of the monitor on a virtual torso.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from typing import Sequence

from quillet_tools import timing
from quillet_tools.recording import JOINTS, Recording, RecordingError, read_recording

PROGRAM = "quillet-plot"
PANELS = (("arms", JOINTS[0:4]), ("nose", JOINTS[4:7]), ("neck", JOINTS[7:10]))


def plot(recording: Recording, output: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(11, 6.5), layout="constrained")
    start = recording.times[0] if recording.times else 0.0
    times = [t - start for t in recording.times]
    for ax, (name, joints) in zip(axes.flat, PANELS):
        for joint in joints:
            ax.plot(times, recording.positions[joint], label=joint, linewidth=1)
        ax.set_title(name, loc="left")
        ax.set_xlabel("time (s)")
        ax.set_ylabel("position (rad)")
        ax.grid(alpha=0.3)
        ax.legend(fontsize="small", loc="best")

    ax = axes.flat[3]
    period = [p * 1e3 for p in recording.samples["period"]]
    if period:
        p50, p99 = timing.median(period), timing.percentile(period, 99)
        ax.hist(period, bins=60, color="0.55")
        ax.axvline(p50, color="tab:blue", label=f"median {p50:.3f} ms")
        ax.axvline(p99, color="tab:red", linestyle="--", label=f"99th percentile {p99:.3f} ms")
        ax.set_yscale("log")
        ax.legend(fontsize="small", loc="upper right")
    else:
        ax.text(0.5, 0.5, "no period samples", ha="center", va="center", transform=ax.transAxes)
    ax.set_title(f"loop period ({len(period)} ticks)", loc="left")
    ax.set_xlabel("period (ms)")
    ax.set_ylabel("ticks")
    figure.suptitle(title)
    figure.savefig(output, dpi=90)
    plt.close(figure)


def _record_sim(path: str, duration: float, period: str) -> None:
    command = [sys.executable, "-m", "quillet_tools.monitor", "--sim", "--plain",
               "--duration", str(duration), "--period", period, "--record", path]
    result = subprocess.run(command, stdout=subprocess.DEVNULL)
    if result.returncode != 0:
        raise SystemExit(f"{PROGRAM}: the monitor on the virtual torso failed (exit status {result.returncode})")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Draw a quillet-monitor recording: the joints over time and the "
                                  "loop's period.")
    parser.add_argument("csv", nargs="?", metavar="FILE.csv", help="a recording of quillet-monitor --record")
    parser.add_argument("-o", "--output", metavar="OUT.png", required=True, help="the picture to write")
    parser.add_argument("--sim", action="store_true", help="record a run of the monitor on a virtual "
                        "torso first (kept in FILE.csv when given)")
    parser.add_argument("--duration", type=float, default=5.0, help="with --sim: seconds to record (default: 5)")
    parser.add_argument("--period", default="5ms", help="with --sim: the loop's period (default: 5ms)")
    args = parser.parse_args(argv)
    if not args.sim and args.csv is None:
        parser.error("give a recording (FILE.csv), or --sim to make one")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print(f"{PROGRAM}: needs matplotlib: pip install 'quillet_motor_controller[tools]'", file=sys.stderr)
        return 1

    with tempfile.TemporaryDirectory() as scratch:
        path = args.csv
        if args.sim:
            path = path or os.path.join(scratch, "sim.csv")
            _record_sim(path, args.duration, args.period)
        try:
            recording = read_recording(path)
        except (OSError, RecordingError) as error:
            print(f"{PROGRAM}: {error}", file=sys.stderr)
            return 1
        span = recording.times[-1] - recording.times[0] if len(recording.times) > 1 else 0.0
        source = "virtual torso" if args.sim else os.path.basename(path)
        plot(recording, args.output,
             f"{source}: {len(recording.times)} position reads over {span:.1f} s")
    print(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
