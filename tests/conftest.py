import os

import pytest

# Set by ./scripts/aarch64, which runs the tests under qemu-user.
UNDER_EMULATOR = os.environ.get("QMC_TESTS_UNDER_EMULATOR")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "native_only(reason): needs what a user-mode emulator cannot give (a timing, a "
        "system call it does not pass through); skipped under one, with the reason")


def pytest_collection_modifyitems(config, items):
    if not UNDER_EMULATOR:
        return
    for item in items:
        for mark in item.iter_markers("native_only"):
            item.add_marker(pytest.mark.skip(reason=f"under {UNDER_EMULATOR}: {mark.args[0]}"))



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
