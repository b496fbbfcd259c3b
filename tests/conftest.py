import pytest


@pytest.fixture
def torso():
    """A virtual torso without wire timing; folders that need another kind define their own."""
    quillet_sim = pytest.importorskip("quillet_sim")
    with quillet_sim.VirtualTorso() as torso:
        yield torso


@pytest.fixture
def host_packets(torso):
    """The instruction packets the host sent, as bytes."""
    return lambda: [r.data for r in torso.servo_traffic() if r.source == "host" and r.kind == "packet"]


@pytest.fixture
def client_frames(torso):
    """(can_id, data) of the frames the module put on the CAN bus."""
    return lambda: [(r.can_id, r.data) for r in torso.can_traffic() if r.source == "client"]
