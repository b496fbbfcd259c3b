"""What a handler raises while it handles a record of a controller's operation is what the method
raises."""

import contextlib
import logging
import threading

import pytest

NECK_TARGET = "quillet_motor_controller.controller"


@contextlib.contextmanager
def handling(handler):
    logger = logging.getLogger(NECK_TARGET)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)


class Boom(Exception):
    pass


@pytest.mark.parametrize("error", [Boom("from a handler"), KeyboardInterrupt()])
def test_what_a_handler_raises_is_what_the_method_raises(torso, controller, client_frames, error):
    """The call failed with SystemError "returned a result with an exception set", and later calls
    returned with the exception still set, to surface in an unrelated C call."""

    class Raising(logging.Handler):
        def emit(self, record):
            raise error

    torso.clear_traffic()
    with handling(Raising()), pytest.raises(type(error)) as raised:
        controller.set_neck_yaw_position(0.9)
    assert raised.value is error
    assert [can_id for can_id, _ in client_frames()] == [1]  # the command is not undone
    assert len(controller.read_neck_positions()) == 3
    lock = threading.Lock()
    assert lock.acquire(blocking=False)  # no exception left pending to surface here

