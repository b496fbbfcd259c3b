"""Neck control and homing, checked on the frames that crossed the virtual CAN bus."""

import logging
import math
import signal
import struct
import threading
import time

import pytest


NECK_TARGET = "quillet_motor_controller.controller"
TWO_PI = 6.283185307179586
MIT_IDS = (1, 2, 3)


def mit_positions(frames):
    """Positions (rad) of the MIT command frames among `frames`, with their command id."""
    sent = []
    for can_id, data in frames:
        if can_id in MIT_IDS and data[:7] != b"\xff" * 7:
            p = (data[0] << 8) | data[1]
            sent.append((can_id, p * 25.0 / 65535 - 12.5))
    return sent


def test_set_neck_position_clamps_to_the_safe_range_and_warns(torso, controller, caplog, client_frames):
    observed = controller.set_neck_position([0.8, -0.1, 0.0])
    sent = mit_positions(client_frames())
    assert [can_id for can_id, _ in sent] == [1, 2, 3]
    assert [p for _, p in sent] == pytest.approx([0.5, 0.0, 0.0], abs=2e-4)
    assert caplog.record_tuples == [
        (NECK_TARGET, logging.WARNING, "neck_yaw requested position 0.8000 rad out of safe range [-0.5000, 0.5000]; clamped to 0.5000"),
        (NECK_TARGET, logging.WARNING, "neck_pitch requested position -0.1000 rad out of safe range [0.0000, 0.4500]; clamped to 0.0000"),
    ]
    assert len(observed) == 3 and all(isinstance(p, float) for p in observed)
    # On a bound: unchanged and silent.
    caplog.clear()
    controller.set_neck_pitch_position(0.45)
    assert caplog.record_tuples == []


def test_single_joint_sends_one_command_and_keeps_the_others(torso, controller, client_frames):
    controller.set_neck_position([0.1, 0.2, 0.3])
    torso.clear_traffic()
    controller.set_neck_gains(1, 80.0, 3.0)
    assert client_frames() == []
    controller.set_neck_pitch_position(2.0)
    (frame,) = client_frames()
    assert frame[0] == 2
    state = torso.motor(2).state()
    assert state.last_command.position == pytest.approx(0.45, abs=2e-4)
    assert state.last_command.kp == pytest.approx(80.0, abs=0.2)
    assert state.last_command.kd == pytest.approx(3.0, abs=0.01)
    controller.set_neck_yaw_position(0.0)
    assert torso.motor(1).state().last_command.kp == pytest.approx(30.0, abs=0.2)
    with pytest.raises(RuntimeError, match="^neck index out of range: 3$"):
        controller.set_neck_gains(3, 10.0, 1.0)
    with pytest.raises(OverflowError):
        controller.set_neck_gains(-1, 10.0, 1.0)


def test_neck_limits_are_constants(torso, controller):
    torso.clear_traffic()
    assert controller.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert torso.can_traffic() == []


def test_enable_neck_forces_mit_mode_and_tracks_the_flag(torso, controller, client_frames):
    torso.motor(2).set_control_mode(3)
    assert controller.is_neck_torque_enabled() is False
    torso.clear_traffic()
    controller.enable_neck(True)
    assert controller.is_neck_torque_enabled() is True
    assert all(torso.motor(i).state().enabled for i in MIT_IDS)
    assert torso.motor(2).state().control_mode == 1
    writes = [data for can_id, data in client_frames() if can_id == 0x7FF and data[2] == 0x55]
    assert writes == [bytes([2, 0, 0x55, 10]) + struct.pack("<I", 1)]

    controller.enable_neck(False)
    assert controller.is_neck_torque_enabled() is False
    assert not any(torso.motor(i).state().enabled for i in MIT_IDS)


def test_enable_neck_with_a_silent_roll_motor_leaves_the_flag(torso, controller):
    torso.motor(3).set_silent(True)
    with pytest.raises(RuntimeError) as raised:
        controller.enable_neck(True)
    assert str(raised.value) == "neck_roll: ensure MIT mode failed: transport error: timeout waiting for frame"
    assert controller.is_neck_torque_enabled() is False
    assert torso.motor(1).state().enabled and torso.motor(2).state().enabled
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_roll\): transport error: timeout"):
        controller.read_neck_positions()
    assert controller.set_neck_yaw_position(0.1) == pytest.approx(0.0, abs=0.2)


def test_homing_goes_to_the_nearest_turn_and_keeps_torque_on(torso, controller, client_frames):
    torso.motor(1).set_position(6.0)
    torso.motor(3).set_position(-0.05)
    observed = controller.neck_home(speed=2.0, kp=40.0)
    assert observed[0] == pytest.approx(TWO_PI, abs=0.15)
    assert all(abs(p - g) < 0.15 for p, g in zip(observed, [TWO_PI, 0.0, 0.0]))
    assert controller.is_neck_torque_enabled() is True
    for motor_id, goal in zip(MIT_IDS, [TWO_PI, 0.0, 0.0]):
        command = torso.motor(motor_id).state().last_command
        assert command.position == pytest.approx(goal, abs=2e-4)
        assert command.kp == pytest.approx(40.0, abs=0.2)  # the override stays
    assert torso.motor(2).state().last_command.kd == pytest.approx(2.0, abs=0.01)

    # Already enabled: no enable or mode traffic the second time.
    torso.clear_traffic()
    controller.neck_home()
    assert not any(data[:7] == b"\xff" * 7 or can_id == 0x7FF for can_id, data in client_frames()
                   if data[2] != 0xCC)


@pytest.mark.parametrize("speed, tolerance, text", [
    (0.0, 0.15, "neck_home: speed must be positive, got 0"),
    (-0.4, 0.15, "neck_home: speed must be positive, got -0.4"),
    (math.nan, 0.15, "neck_home: speed must be positive, got NaN"),
    (0.4, 0.0, "neck_home: tolerance must be positive, got 0"),
    # Before, 1e-320 saturated the cycle budget: 1.4 years of homing with the interpreter lock held.
    (1e-320, 0.15, "neck_home: speed 0." + "0" * 319 + "1 is too slow to ramp within the cycle budget"),
])
def test_homing_refuses_bad_arguments_before_any_traffic(torso, controller, speed, tolerance, text):
    torso.clear_traffic()
    with pytest.raises(RuntimeError) as raised:
        controller.neck_home(speed, tolerance, kp=99.0)
    assert str(raised.value) == text
    assert torso.can_traffic() == []
    controller.set_neck_yaw_position(0.0)
    assert torso.motor(1).state().last_command.kp == pytest.approx(30.0, abs=0.2)
    with pytest.raises(TypeError, match="^argument 'speed': "):
        controller.neck_home(speed=None)


def test_homing_times_out_with_a_blocked_motor(torso, controller):
    torso.motor(2).set_position(0.3)
    torso.motor(2).set_blocked(True)
    with pytest.raises(RuntimeError) as raised:
        controller.neck_home(speed=50.0, tolerance=0.1)
    text = str(raised.value)
    head, tail = "neck_home: timed out before settling. observed=[", "], goals=[0.0, 0.0, 0.0], settled=[true, false, true]"
    assert text.startswith(head) and text.endswith(tail)
    observed = [float(v) for v in text[len(head) : -len(tail)].split(", ")]
    # The 32-bit replies widened to 64 bits, printed with all their digits.
    assert all(struct.unpack("<f", struct.pack("<f", v))[0] == v for v in observed)
    assert observed[1] == pytest.approx(0.3, abs=1e-3)
    assert controller.is_neck_torque_enabled() is True
    assert torso.motor(2).state().enabled


def test_a_thread_waiting_for_the_controller_lets_the_holder_log(torso, controller):
    """A waiter blocked on the object's mutex while holding the interpreter lock deadlocked the
    holder, whose clamp warning needs that lock."""
    slow = logging.getLogger("quillet_motor_controller.controller")

    class SlowHandler(logging.Handler):
        def emit(self, record):
            time.sleep(0.2)  # lets the interpreter switch to the other thread

    handler = SlowHandler()
    slow.addHandler(handler)
    results = []
    try:
        first = threading.Thread(target=lambda: results.append(controller.set_neck_position([0.9, 0.9, 0.9])))
        second = threading.Thread(target=lambda: results.append(controller.read_neck_positions()))
        first.start()
        time.sleep(0.05)
        second.start()
        first.join(10)
        second.join(10)
        assert not first.is_alive() and not second.is_alive()
    finally:
        slow.removeHandler(handler)
    assert len(results) == 2


def test_homing_stops_at_a_signal_and_leaves_the_neck_held(torso, controller):
    """Homing held the interpreter lock for tens of seconds with no way to stop it."""
    torso.motor(2).set_position(0.3)
    torso.motor(2).set_blocked(True)

    def stop(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            controller.neck_home(speed=50.0, tolerance=0.1)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.monotonic() - started < 5.0  # the budget alone is 20 s
    assert controller.is_neck_torque_enabled() is True
    assert torso.motor(2).state().enabled
    controller.read_neck_positions()  # the controller stays usable


def test_a_stray_frame_on_a_motor_id_is_not_its_reply(torso, controller):
    """One frame of another device on id 1 was taken for the yaw's reply: the yaw read -12.5 rad
    and homing drove it two whole turns."""
    torso.motor(1).set_position(0.2)
    stray = bytes([0x05, 0, 0, 0, 0, 0, 0, 0])  # names motor 5; as a yaw reply, -12.5 rad
    torso.set_foreign_traffic(before_reply=1, can_id=1, data=stray)
    try:
        assert controller.read_neck_positions()[0] == pytest.approx(0.2, abs=1e-3)
        assert controller.neck_home(speed=5.0)[0] == pytest.approx(0.0, abs=0.15)
    finally:
        torso.set_foreign_traffic()
    assert torso.motor(1).state().last_command.position == pytest.approx(0.0, abs=2e-4)
    assert [r.data for r in torso.can_traffic() if r.source == "foreign"][:1] == [stray]


@pytest.mark.parametrize("call, argument", [
    (lambda c: c.set_neck_gains(0, math.nan, 1.0), "kp"),
    (lambda c: c.set_neck_gains(5, 30.0, math.nan), "kd"),
    (lambda c: c.neck_home(kp=math.nan), "kp"),
    (lambda c: c.neck_home(kp=40.0, kd=math.nan), "kd"),
])
def test_gains_that_are_not_numbers_are_refused_before_anything(torso, controller, call, argument):
    """A NaN kp was stored and packed as 0: the neck went limp."""
    torso.clear_traffic()
    with pytest.raises(ValueError, match=rf"^argument '{argument}': gain is not a number \(NaN\)$"):
        call(controller)
    assert torso.can_traffic() == []
    controller.set_neck_yaw_position(0.0)
    command = torso.motor(1).state().last_command
    assert (command.kp, command.kd) == (pytest.approx(30.0, abs=0.2), pytest.approx(1.0, abs=0.01))


@pytest.mark.parametrize("call, argument", [
    (lambda c: c.set_neck_gains(0, -1.0, 0.5), "kp"),
    (lambda c: c.set_neck_gains(1, 30.0, -math.inf), "kd"),
    (lambda c: c.neck_home(kp=-5), "kp"),
    (lambda c: c.neck_home(kd=-0.1), "kd"),
])
def test_negative_gains_are_refused_before_anything(torso, controller, call, argument):
    """A negative kp was packed as 0, exactly as NaN was: the joint went limp."""
    torso.clear_traffic()
    with pytest.raises(ValueError, match=rf"^argument '{argument}': gain "):
        call(controller)
    assert torso.can_traffic() == []
    controller.set_neck_gains(0, 0.0, 0.0)  # zero stays a gain
    controller.set_neck_yaw_position(0.0)
    command = torso.motor(1).state().last_command
    assert (command.kp, command.kd) == (0.0, 0.0)


def test_a_register_reply_is_taken_only_from_this_motor_and_not_from_before_the_request(torso, controller,
                                                                                      client_frames):
    """Any frame with 0x33 and the register id was the answer: a stray or stale one named mode 2, and
    enable_neck rewrote the control mode of motors already in MIT mode."""
    read_reply = lambda motor, mode: bytes([motor, 0, 0x33, 10, mode, 0, 0, 0])
    torso.send_can_frame(1, read_reply(1, 2))  # a late reply of the yaw, already queued
    torso.set_foreign_traffic(before_reply=1, can_id=4, data=read_reply(4, 2))  # another motor's, each time
    try:
        controller.enable_neck(True)
    finally:
        torso.set_foreign_traffic()
    assert controller.is_neck_torque_enabled()
    assert [data for can_id, data in client_frames() if can_id == 0x7FF and data[2] == 0x55] == []  # no write
