import pytest

quillet_sim = pytest.importorskip("quillet_sim")
from quillet_motor_controller import QuilletMotorController  # noqa: E402


@pytest.fixture
def controller(torso):
    return QuilletMotorController(torso.serial_path, torso.can_interface)


@pytest.fixture
def neck_only(torso):
    return QuilletMotorController(None, torso.can_interface)
