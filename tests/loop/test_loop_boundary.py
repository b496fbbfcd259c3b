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


def test_the_neck_values_of_a_record_are_not_checked_since_the_loop_never_sends_them(start_loop):
    start_loop().set_all_goal_positions(QuilletTorsoPosition([0.0] * 2, [0.0] * 2, [0.0] * 3, [math.nan] * 3))


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
    QuilletMotorController(torso.serial_path, torso.can_interface)  # nothing was left open


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
    assert "quillet_motor_controller.controller" in seen[0].err_msg
    loop.set_neck_yaw_position(-0.2)  # the loop goes on
    assert eventually(lambda: torso.motor(1).state().last_command.position == pytest.approx(-0.2, abs=2e-4))
