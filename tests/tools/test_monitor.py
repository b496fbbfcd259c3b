import csv
import math
import os
import re
import signal
import subprocess
import sys
import time

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_tools import timing  # noqa: E402
from quillet_tools.recording import COLUMNS, JOINTS, RecordingError, read_recording  # noqa: E402

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def buses(torso):
    return ["--serial", torso.serial_path, "--can", torso.can_interface]


def rows(path, kind):
    with open(path, newline="") as file:
        return [r for r in csv.DictReader(file) if r["kind"] == kind]


def test_headless_record_has_every_column_and_about_one_row_per_tick(torso, monitor, tmp_path):
    torso.servo(3).set_position(1024)
    torso.motor(3).set_position(0.2)
    path = tmp_path / "run.csv"
    run = monitor(*buses(torso), "--duration", "2", "--period", "10ms", "--record", str(path))
    assert run.status == 0, run.err
    assert "ticks/s" in run.out and "period p50" in run.out
    with open(path, newline="") as file:
        assert next(csv.reader(file)) == list(COLUMNS)

    positions = rows(path, "position")
    periods = rows(path, "period")
    # 2 s at 10 ms: about 200 reads, one per tick plus the start-up read; a loaded machine may
    # lose some to retries, never add any.
    assert 80 <= len(positions) <= len(periods) + 1 <= 216
    assert len(rows(path, "read_dt")) >= len(positions) // 2
    last = positions[-1]
    assert float(last["right_arm_pitch"]) == pytest.approx(-math.pi / 2)
    assert float(last["neck_roll"]) == pytest.approx(0.2, abs=1e-3)
    assert float(last["timestamp"]) == pytest.approx(time.time(), abs=30)
    stamps = [float(r["timestamp"]) for r in positions]
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)

    recording = read_recording(path)
    assert len(recording.times) == len(positions)
    assert all(0 <= p < 1 for p in recording.samples["period"])


def test_ctrl_c_closes_the_loop_and_keeps_the_recording(torso, tmp_path):
    path = tmp_path / "run.csv"
    process = subprocess.Popen([sys.executable, "-m", "quillet_tools.monitor", *buses(torso), "--record", str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and len(rows(path, "position") if path.exists() else []) < 20:
        time.sleep(0.1)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=20)
    assert process.returncode == 0, err
    assert "quillet-monitor: " in out.splitlines()[-1] and " ticks, " in out.splitlines()[-1]
    assert len(rows(path, "position")) >= 20
    # The port was released: a second program can open it.
    from quillet_motor_controller import QuilletMotorController

    QuilletMotorController(torso.serial_path, torso.can_interface)


def test_loop_that_cannot_start_says_why(monitor):
    with quillet_sim.VirtualTorso(servos=[1, 2, 3, 4, 5, 7]) as torso:
        run = monitor(*buses(torso), "--duration", "1")
    assert run.status == 1
    assert 'the control loop did not start: Missing motors: ["nose_left"]!' in run.err
    assert "may listen at another baud rate" in run.err  # its note, below it
    assert "quillet-scan --serial" in run.err


def test_sim_runs_itself_under_the_socketcan_stand_in(monitor, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    path = tmp_path / "sim.csv"
    run = monitor("--sim", "--duration", "1.5", "--period", "5ms", "--record", str(path), env=env)
    assert run.status == 0, run.err
    assert "(virtual torso)" in run.out
    positions = rows(path, "position")
    assert len(positions) > 20
    # The virtual joints are moved by hand during the run.
    assert len({r["left_arm_pitch"] for r in positions}) > 3


def test_read_failures_show_as_they_happen_and_when_they_end(torso, tmp_path):
    path = tmp_path / "run.csv"
    process = subprocess.Popen([sys.executable, "-m", "quillet_tools.monitor", *buses(torso), "--record", str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def reads():
        return len(rows(path, "position")) if path.exists() else 0

    def wait_for_reads(count):
        deadline = time.monotonic() + 20
        while reads() < count and time.monotonic() < deadline:
            time.sleep(0.05)

    wait_for_reads(10)
    torso.servo(4).set_silent(True)
    time.sleep(1.0)
    before = reads()
    torso.servo(4).set_silent(False)
    wait_for_reads(before + 10)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=20)
    assert process.returncode == 0, err
    failed = out.index("ERROR   position read failed: Motor communication error! Check connections and power supply.")
    assert out.index("right_arm_yaw (servo id 4)", failed) > failed  # the cause, from the notes
    assert out.index("INFO    position reads work again") > failed
    assert int(re.search(r"errors (\d+)$", out.splitlines()[-1]).group(1)) >= 1


@pytest.mark.parametrize("text, seconds", [("2ms", 0.002), ("500us", 0.0005), ("0.01s", 0.01), (" 1.5 ms", 0.0015)])
def test_durations(text, seconds):
    assert timing.parse_duration(text) == pytest.approx(seconds)


def test_percentiles_are_nearest_rank():
    samples = [float(v) for v in range(100, 0, -1)]
    assert (timing.median(samples), timing.percentile(samples, 99), timing.percentile(samples, 100)) == (50, 99, 100)
    assert timing.percentile([7.0], 99) == 7.0 and math.isnan(timing.median([]))
    # The whole-run summary counts samples per microsecond instead of keeping them.
    tally = timing.Tally()
    tally.add([s * 1e-6 for s in samples[:60]])
    tally.add([s * 1e-6 + 2e-7 for s in samples[60:]])
    assert [tally.percentile(p) for p in (50, 99, 100)] == [50e-6, 99e-6, 100e-6]
    assert math.isnan(timing.Tally().percentile(50))


@pytest.mark.parametrize("argument", ["--period=2", "--period=0ms", "--duration=0"])
def test_bad_arguments_are_refused(monitor, argument):
    run = monitor(argument)
    assert run.status == 2 and "quillet-monitor: error:" in run.err


def write_small_recording(path, ticks=50):
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(COLUMNS)
        for tick in range(ticks):
            values = [math.sin(tick / 10 + j) for j in range(len(JOINTS))]
            writer.writerow(["position", 1_700_000_000 + tick * 0.01, *values, ""])
        for tick in range(ticks):
            writer.writerow(["period", *[""] * (len(JOINTS) + 1), 0.01 + (tick % 5) * 1e-4])
            writer.writerow(["read_dt", *[""] * (len(JOINTS) + 1), 0.002])


def test_plot_makes_a_png_from_a_small_recording(tmp_path):
    pytest.importorskip("matplotlib")
    from quillet_tools import plot

    source, picture = tmp_path / "small.csv", tmp_path / "small.png"
    write_small_recording(source)
    assert plot.main([str(source), "-o", str(picture)]) == 0
    assert picture.read_bytes().startswith(PNG_MAGIC)


def test_plot_refuses_a_file_that_is_not_a_recording(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from quillet_tools import plot

    bad = tmp_path / "bad.csv"
    write_small_recording(bad)
    with open(bad, "a") as file:
        file.write("position,not-a-time" + "," * (len(JOINTS) + 1) + "\n")
    assert plot.main([str(bad), "-o", str(tmp_path / "bad.png")]) == 1
    assert f"{bad}, line 152: could not convert" in capsys.readouterr().err
    assert not (tmp_path / "bad.png").exists()
    with pytest.raises(RecordingError, match="not a quillet-monitor recording"):
        read_recording(__file__)
