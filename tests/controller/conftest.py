import logging

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_motor_controller import QuilletMotorController  # noqa: E402

NECK_TARGET = "quillet_motor_controller.controller"


@pytest.fixture
def controller(torso):
    return QuilletMotorController(torso.serial_path, torso.can_interface)


@pytest.fixture
def neck_only(torso):
    return QuilletMotorController(None, torso.can_interface)


@pytest.fixture
def warnings_logged():
    """The controller's warnings, as (levelno, message) pairs."""
    records = []

    class Capture(logging.Handler):
        def emit(self, record):
            records.append((record.levelno, record.getMessage()))

    logger = logging.getLogger(NECK_TARGET)
    handler = Capture()
    logger.addHandler(handler)
    yield records
    logger.removeHandler(handler)
