import pytest


@pytest.fixture
def host_packets(torso):
    """The instruction packets the host sent to the torso of the test's folder, as bytes."""
    return lambda: [r.data for r in torso.servo_traffic() if r.source == "host" and r.kind == "packet"]


@pytest.fixture
def client_frames(torso):
    """(can_id, data) of the frames the module put on the CAN bus."""
    return lambda: [(r.can_id, r.data) for r in torso.can_traffic() if r.source == "client"]
