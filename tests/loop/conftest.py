import logging
import time
from datetime import timedelta

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_motor_controller import QuilletPyControlLoop  # noqa: E402

LOOP_TARGET = "quillet_motor_controller.control_loop"
MS = timedelta(milliseconds=1)

# The bridge takes a logger's level once, at its first record: let the loop's info records
# through before any loop runs in this process.
logging.getLogger(LOOP_TARGET).setLevel(logging.DEBUG)


@pytest.fixture
def start_loop(torso):
    """Starts loops on the torso (10 ms period unless told otherwise) and closes them afterwards."""
    loops = []

    def start(serial=True, period=10 * MS, **options):
        loop = QuilletPyControlLoop(torso.serial_path if serial else None, period,
                                    can_bus=torso.can_interface, **options)
        loops.append(loop)
        return loop

    yield start
    for loop in loops:
        loop.close()


@pytest.fixture
def eventually():
    """Polls a condition for a while; its last value."""
    def wait(predicate, timeout=3.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if predicate():
                return True
            time.sleep(0.005)
        return predicate()
    return wait


@pytest.fixture
def read_failed():
    """Whether a loop's last read failed, as its position accessor reports it."""
    def failed(loop):
        try:
            loop.get_last_position()
        except RuntimeError as error:
            assert str(error) == "Motor communication error! Check connections and power supply."
            return True
        return False
    return failed
