"""What QuilletPyControlLoop refuses at the call."""

import math
from datetime import timedelta

import pytest

from quillet_motor_controller import QuilletTorsoPosition

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

