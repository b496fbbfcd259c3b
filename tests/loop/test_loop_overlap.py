"""The loop's position read keeps the servo line and the CAN bus in flight at once: each bus sees
exactly the traffic of a sequential read, in the same order, while the two overlap in time."""

import time
from datetime import timedelta

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_motor_controller import QuilletPyControlLoop  # noqa: E402

SYNC_READ, POSITION, FEEDBACK = 0x82, 56, 0xCC


def test_one_tick_on_each_bus_is_unchanged_and_the_buses_overlap():
    with quillet_sim.VirtualTorso(wire_timing=True) as torso:
        loop = QuilletPyControlLoop(torso.serial_path, timedelta(milliseconds=100), can_bus=torso.can_interface)
        time.sleep(0.05)  # between ticks 0 and 1
        torso.clear_traffic()
        time.sleep(0.1)  # tick 1
        loop.close()
        servo = [r for r in torso.servo_traffic() if r.kind in ("packet", "reply")]
        can = list(torso.can_traffic())

    # The servo line: the two sync reads of present position, each followed by its replies in id order.
    assert [(r.source, r.kind, r.servo_id if r.source == "servo" else r.data[5]) for r in servo] == (
        [("host", "packet", POSITION)] + [("servo", "reply", i) for i in (1, 2, 3, 4)]
        + [("host", "packet", POSITION)] + [("servo", "reply", i) for i in (5, 6, 7)])
    assert [r.data[7:-1] for r in servo if r.source == "host"] == [bytes([1, 2, 3, 4]), bytes([5, 6, 7])]
    # The CAN bus: three feedback exchanges, one after the other.
    assert [(r.source, r.can_id, r.data[0]) for r in can] == [
        step for motor in (1, 2, 3) for step in (("client", 0x7FF, motor), ("motor", motor, motor))]
    assert all(r.data[2] == FEEDBACK for r in can if r.source == "client")
    # Both in flight at once: the neck is asked before the servos have all answered.
    assert can[0].time < servo[-1].time


def test_either_half_failing_fails_the_read_without_disturbing_the_other(
        torso, start_loop, client_frames, eventually, read_failed):
    loop = start_loop(allowed_retries=2)
    torso.servo(4).set_silent(True)
    torso.clear_traffic()

    def failed():
        return read_failed(loop)

    assert eventually(failed)
    assert client_frames()  # the neck was still asked while the servo read failed
    torso.servo(4).set_silent(False)
    assert eventually(lambda: not failed())
    torso.motor(2).set_silent(True)
    assert eventually(failed)
    torso.motor(2).set_silent(False)
    assert eventually(lambda: not failed())


def test_close_while_both_halves_are_in_flight(torso, start_loop):
    period = 0.02
    loop = start_loop(period=timedelta(seconds=period))
    torso.servo(7).set_silent(True)  # every servo read now takes its five attempts
    torso.motor(3).set_silent(True)  # and every neck read waits for its time-out
    time.sleep(0.05)  # in the middle of a tick
    begin = time.monotonic()
    loop.close()
    elapsed = time.monotonic() - begin
    # One read with its retries: five attempts of one 10 ms time-out and four 20 ms pauses.
    one_read = 5 * 0.010 + 4 * 0.020
    assert elapsed < period + one_read + 0.25
