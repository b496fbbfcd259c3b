"""Start-up of QuilletPyControlLoop on the virtual torso: the checks in their order on the wire,
each failure with its message, and the arguments refused before anything is opened."""

import signal
import time
from datetime import timedelta

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_motor_controller import QuilletMotorController, QuilletPyControlLoop  # noqa: E402

LOOP_TARGET = "quillet_motor_controller.control_loop"
MS = timedelta(milliseconds=1)

PING, REBOOT, SYNC_READ = 0x01, 0x08, 0x82
TORQUE, POSITION, VOLTAGE = 40, 56, 62
FEEDBACK = 0xCC


def instructions(packets):
    """(instruction, id) of single-servo packets, (instruction, address) of sync reads."""
    out = []
    for p in packets:
        out.append((p[4], p[5] if p[4] == SYNC_READ else p[2]))
    return out


def test_checks_run_in_order_then_the_loop_reads(torso, start_loop, host_packets, client_frames, caplog):
    loop = start_loop(period=timedelta(hours=1))  # tick 0 only
    assert loop.get_last_position().left_arm == [0.0, 0.0]
    loop.close()

    seen = instructions(host_packets())
    pings = [(PING, i) for i in range(1, 8)]
    assert seen[:7] == pings
    assert seen[7:9] == [(SYNC_READ, VOLTAGE)] * 2
    assert seen[9:16] == [(REBOOT, i) for i in range(1, 8)]
    rest = seen[16:]
    # Pings until every servo answers again, then the first read, the torque state, and tick 0.
    first_read = rest.index((SYNC_READ, POSITION))
    assert set(rest[:first_read]) == set(pings)
    assert rest[first_read:] == [(SYNC_READ, POSITION)] * 2 + [(SYNC_READ, TORQUE)] * 2 + [(SYNC_READ, POSITION)] * 2

    # The neck: presence, the first read and tick 0, one feedback request per motor each.
    frames = client_frames()
    assert [(can_id, data[0], data[2]) for can_id, data in frames] == [(0x7FF, m, FEEDBACK) for m in (1, 2, 3)] * 3

    loop_records = [(level, message) for name, level, message in caplog.record_tuples if name == LOOP_TARGET]
    assert loop_records[0] == (20, "Waiting for voltage to be stable at 12V...")
    assert loop_records[1][1].startswith("Voltage is stable at ~12V: [120, 120, 120, 120, 120, 120, 120] (took ")
    reboots = [m for name, level, m in caplog.record_tuples if name.endswith(".controller") and level == 30]
    assert reboots[0] == "Rebooting motor left_arm_pitch (id=1)"


@pytest.mark.parametrize(
    ("servos", "motors", "message"),
    [
        ([1, 3, 4, 5, 7], True, 'Missing motors: ["left_arm_yaw", "nose_left"]!'),
        ([], True, "No motors detected. Check if the power supply is connected and turned on!"),
        (True, [1, 3], 'Missing motors: ["neck_pitch"]!'),
    ],
    ids=["servos-2-and-6-left-out", "no-servos", "pitch-motor-left-out"],
)
def test_missing_devices(servos, motors, message):
    with quillet_sim.VirtualTorso(servos=servos, motors=motors) as torso:
        with pytest.raises(RuntimeError) as raised:
            QuilletPyControlLoop(torso.serial_path, 10 * MS, can_bus=torso.can_interface)
        assert str(raised.value) == message
        # Nothing stays open: the port can be taken again at once.
        QuilletMotorController(torso.serial_path, torso.can_interface)


def test_ports_that_are_missing_or_cannot_be_opened(torso, host_packets, client_frames):
    with pytest.raises(RuntimeError, match=r"^Check if your USB cable is connected\. "
                                           r"Could not find port: /dev/no-such-servo-adapter!$"):
        QuilletPyControlLoop("/dev/no-such-servo-adapter", 10 * MS, can_bus=torso.can_interface)
    holder = QuilletMotorController(torso.serial_path, torso.can_interface)
    with pytest.raises(RuntimeError) as held:
        QuilletPyControlLoop(torso.serial_path, 10 * MS, can_bus=torso.can_interface)
    assert str(held.value) == (f"Could not open serial port: {torso.serial_path}! "
                               "Check permissions and if the port is already in use.")
    del holder
    with pytest.raises(RuntimeError, match=r"^Could not open serial port: ! Check permissions"):
        QuilletPyControlLoop(None, 10 * MS, can_bus="nocan7")
    assert host_packets() == [] and client_frames() == []


def test_supply_stuck_low_times_out_with_the_lowest_voltage(torso, host_packets):
    torso.set_supply_voltage(80)
    torso.servo(6).set_voltage(74)
    begin = time.monotonic()
    with pytest.raises(RuntimeError) as raised:
        QuilletPyControlLoop(torso.serial_path, 10 * MS, can_bus=torso.can_interface,
                             voltage_rampup_timeout=timedelta(milliseconds=350))
    assert str(raised.value) == "Voltage did not ramp up to 12V (got 7.4V) within 350ms!"
    assert time.monotonic() - begin >= 0.35
    voltage_reads = [p for p in instructions(host_packets()) if p == (SYNC_READ, VOLTAGE)]
    assert len(voltage_reads) == 2 * 5  # at once, then every 100 ms until 350 ms have passed
    assert (REBOOT, 1) not in instructions(host_packets())


def test_supply_ramping_up_is_waited_for(torso, start_loop, caplog):
    torso.ramp_supply_voltage(70, 125, 0.6)
    loop = start_loop()
    assert loop.get_last_position() is not None
    stable = [m for name, _, m in caplog.record_tuples if m.startswith("Voltage is stable")]
    assert len(stable) == 1
    assert stable[0].split(" (took ")[1].endswith("ms)") or stable[0].endswith("s)")


def test_neck_only_loop(torso, start_loop, host_packets):
    torso.motor(2).set_position(0.3)
    loop = start_loop(serial=False)
    position = loop.get_last_position()
    assert (position.left_arm, position.right_arm, position.nose) == ([0.0, 0.0], [0.0, 0.0], [0.0] * 3)
    assert position.neck[1] == pytest.approx(0.3, abs=1e-3)
    assert loop.is_torque_enabled() is False
    loop.set_arms_position([0, 0, 0, 0])  # fails quietly on the loop thread
    with pytest.raises(RuntimeError, match="^Failed to receive raw packet response: receiving on a closed channel$"):
        loop.write_raw_packet(b"\x00")
    with pytest.raises(RuntimeError, match="^Failed to read raw bytes: Motor communication error!"):
        loop.async_read_raw_bytes(1, 56, 2)
    assert host_packets() == []


def test_arguments_refused_before_anything_is_opened(torso, host_packets, client_frames):
    path, can = torso.serial_path, torso.can_interface
    with pytest.raises(ValueError, match=r"^argument 'allowed_retries': must be at least 1$"):
        QuilletPyControlLoop(path, 10 * MS, can_bus=can, allowed_retries=0)
    with pytest.raises(ValueError, match=r"^argument 'read_position_loop_period': must be greater than zero$"):
        QuilletPyControlLoop(path, timedelta(0), can_bus=can)
    with pytest.raises(TypeError, match=r"^argument 'read_position_loop_period': "):
        QuilletPyControlLoop(path, 0.01, can_bus=can)
    with pytest.raises(TypeError):
        QuilletPyControlLoop(read_position_loop_period=10 * MS, can_bus=can)  # serialport has no default
    with pytest.raises(OverflowError):
        QuilletPyControlLoop(path, 10 * MS, can_bus=can, allowed_retries=-1)
    assert host_packets() == [] and client_frames() == []


def test_a_signal_handler_that_raises_ends_the_supply_wait(torso):
    torso.set_supply_voltage(74)

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    begin = time.monotonic()
    try:
        with pytest.raises(Stop):
            QuilletPyControlLoop(torso.serial_path, 10 * MS, can_bus=torso.can_interface)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.monotonic() - begin < 5  # not the 30 s of the time-out
    QuilletMotorController(torso.serial_path, torso.can_interface)  # the port was closed again
