"""The benchmark's peer client (the servo maker's SDK with python-can, bench/peer) must do the
same work as the module before its figures mean anything: the same ten values, the same goal
registers, and the same exchanges on the buses.

The peer stack is installed into an environment of its own under the user's cache directory
(created on the first run, from PyPI).
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

quillet_sim = pytest.importorskip("quillet_sim")
pytestmark = pytest.mark.native_only("the peer stack runs in an environment made with the build "
                                     "machine's Python, and python-can needs SO_TIMESTAMPNS, which "
                                     "qemu-user refuses")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench" / "peer"))
from sides import Sides, check_peer_client, set_distinct_positions, stale_probe  # noqa: E402


def packet(ident: int, instruction: int, *params: int) -> bytes:
    body = bytes([ident, len(params) + 2, instruction, *params])
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


@pytest.fixture(scope="module")
def sides() -> Sides:
    return Sides()


@pytest.fixture
def torso():
    with quillet_sim.VirtualTorso() as torso:
        yield torso


def test_peer_client_reads_and_writes_what_the_module_does(sides, torso):
    assert check_peer_client(sides, torso) == []


def test_peer_client_uses_one_group_exchange_per_servo_model_and_one_per_neck_motor(sides, torso):
    set_distinct_positions(torso)
    sides.run("peer", torso, "read")
    sides.run("peer", torso, "write-arms", 0.0, 0.0, 0.0, 0.0)
    host = [r.data for r in torso.servo_traffic() if r.source == "host"]
    assert host == [
        packet(0xFE, 0x82, 56, 2, 1, 2, 3, 4),
        packet(0xFE, 0x82, 56, 2, 5, 6, 7),
        packet(0xFE, 0x83, 42, 2, 1, 0x00, 0x08, 2, 0x00, 0x08, 3, 0x00, 0x08, 4, 0x00, 0x08),
    ]
    requests = [(r.can_id, r.data) for r in torso.can_traffic() if r.source == "client"]
    assert requests == [(0x7FF, bytes([motor, 0, 0xCC, 0, 0, 0, 0, 0])) for motor in (1, 2, 3)]


def test_after_a_late_reply_the_module_reads_the_new_position_where_the_sdk_reads_the_late_one(sides, torso):
    # The benchmark reports this difference; both halves are checked so that the report stays true.
    assert stale_probe(sides, "module", torso) == ("error", "new")
    assert stale_probe(sides, "peer", torso) == ("error", "stale")
