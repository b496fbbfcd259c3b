"""What QuilletPyControlLoop refuses at the call, and where an exception raised by the delivery of
one of its records goes: to the caller on the caller's thread, to sys.unraisablehook on the loop's."""

import logging
import math
import sys
from datetime import timedelta

import pytest

from quillet_motor_controller import QuilletMotorController, QuilletPyControlLoop, QuilletTorsoPosition

LOOP_TARGET = "quillet_motor_controller.control_loop"
MS = timedelta(milliseconds=1)


@pytest.mark.parametrize("call, argument", [
    (lambda loop: loop.set_neck_yaw_position(math.nan), "position"),
    (lambda loop: loop.set_neck_position([0.0, math.nan, 0.0]), "position"),
    (lambda loop: loop.set_left_arm_position([math.nan, 0.0]), "position"),
    (lambda loop: loop.set_nose_position([0.0, 0.0, math.nan]), "position"),
    (lambda loop: loop.set_all_goal_positions(
        QuilletTorsoPosition([0.0, 0.0], [0.0, math.nan], [0.0] * 3, [0.0] * 3)), "positions"),
])
def test_positions_that_are_not_numbers_are_refused_before_they_are_queued(start_loop, call, argument):
    """They were queued without a word, to be dropped silently on the loop thread."""
    loop = start_loop()
    with pytest.raises(ValueError, match=rf"^argument '{argument}': position is not a number \(NaN\)$"):
        call(loop)


def test_the_neck_values_of_a_record_are_not_checked_since_the_loop_never_sends_them(
        torso, start_loop, host_packets, client_frames):
    loop = start_loop()
    torso.clear_traffic()
    loop.set_all_goal_positions(QuilletTorsoPosition([0.0] * 2, [0.0] * 2, [0.0] * 3, [math.nan] * 3))
    loop.close()
    # The goals of the arms, then of the nose; on the CAN bus only the ticks' feedback requests.
    assert [(p[4], p[5]) for p in host_packets() if p[4] == 0x83] == [(0x83, 42)] * 2
    assert {can_id for can_id, _ in client_frames()} <= {0x7FF}


class Boom(Exception):
    pass


def raise_on(text):
    class Raising(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith(text):
                raise Boom(record.getMessage())
    return Raising()


def test_what_a_start_up_handler_raises_is_what_the_constructor_raises(torso):
    """Start-up went on with the exception pending, and the constructor failed with SystemError."""
    logger = logging.getLogger(LOOP_TARGET)
    handler = raise_on("Waiting for voltage")
    logger.addHandler(handler)
    try:
        with pytest.raises(Boom, match="^Waiting for voltage"):
            QuilletPyControlLoop(torso.serial_path, 10 * MS, can_bus=torso.can_interface)
    finally:
        logger.removeHandler(handler)
    # Nothing was left open: the serial port, opened for exclusive use, opens again.
    assert len(QuilletMotorController(torso.serial_path, torso.can_interface).read_all_positions()) == 7


def test_what_a_handler_raises_on_the_loop_thread_goes_to_the_unraisable_hook(torso, start_loop, monkeypatch,
                                                                              eventually):
    """It was left pending in a thread state that was then thrown away, silently."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    logger = logging.getLogger("quillet_motor_controller.controller")
    handler = raise_on("neck_yaw requested")
    logger.addHandler(handler)
    try:
        loop = start_loop()
        loop.set_neck_yaw_position(0.9)  # clamped, with a warning, on the loop thread
        assert eventually(lambda: seen)
    finally:
        logger.removeHandler(handler)
    assert isinstance(seen[0].exc_value, Boom)
    assert seen[0].object.name == "quillet_motor_controller.controller"  # raised in that logger
    loop.set_neck_yaw_position(-0.2)  # the loop goes on
    assert eventually(lambda: torso.motor(1).state().last_command.position == pytest.approx(-0.2, abs=2e-4))


def test_requests_that_no_packet_can_carry_are_refused_before_anything_is_sent(torso, start_loop, host_packets):
    """They were queued, then failed on the loop thread without a word; a 255-byte read returned 253."""
    loop = start_loop()
    torso.clear_traffic()
    for call, argument in [
        (lambda: loop.enable_torque_on_ids([1] * 280), "ids"),
        (lambda: loop.disable_torque_on_ids([5, 6] * 63), "ids"),
        (lambda: loop.async_write_raw_bytes(1, 40, [0] * 253), "data"),
        (lambda: loop.async_read_raw_bytes(1, 0, 255), "length"),
    ]:
        with pytest.raises(ValueError, match=rf"^argument '{argument}': "):
            call()
    loop.enable_torque_on_ids([1] * 125)  # the most one sync write carries
    loop.close()
    writes = lambda: [(p[4], p[5], len(p)) for p in host_packets() if p[4] != 0x82]  # the ticks' reads aside
    assert writes() == [(0x83, 40, 258)]
    controller = QuilletMotorController(torso.serial_path, torso.can_interface)
    with pytest.raises(ValueError, match=r"^argument 'ids': "):
        controller.enable_torque_on_ids([2] * 126)
    assert writes() == [(0x83, 40, 258)]


@pytest.mark.parametrize("call", [
    lambda loop: loop.async_write_pid_gains(254, 1, 2, 3),
    lambda loop: loop.async_write_raw_bytes(254, 5, [9]),
    lambda loop: loop.async_write_raw_bytes(255, 5, [9]),
    lambda loop: loop.async_read_raw_bytes(254, 56, 2),
    lambda loop: loop.async_read_pid_gains(255),
])
def test_the_broadcast_id_and_255_are_not_servos(torso, start_loop, host_packets, call):
    """The broadcast rewrote the gains of all seven servos; 255 put a stray 0xFF on the line."""
    loop = start_loop(period=timedelta(seconds=1))
    torso.clear_traffic()
    with pytest.raises(ValueError, match=r"^argument 'id': "):
        call(loop)
    loop.close()
    assert [p for p in host_packets() if p[4] != 0x82] == []
