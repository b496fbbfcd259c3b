"""SocketCanTransport and the Damiao driver on the virtual torso's CAN bus.

The C++ side runs in can_bus_probe (tests/cpp/can_bus/torso, built with the C++ tests; see
conftest.py) under the SocketCAN stand-in; each test checks what the probe reports and the frames
the torso recorded.
"""

from __future__ import annotations

import json
import os
import subprocess
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

quillet_sim = pytest.importorskip("quillet_sim")


def _unavailable(reason: str) -> None:
    # In CI a missing torso is a fault, not a reason to skip.
    if os.environ.get("CI"):
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture
def torso() -> Iterator[Any]:
    try:
        quillet_sim.preload_path()
        quillet_sim.daemon_path()
    except FileNotFoundError as e:
        _unavailable(str(e))
    with quillet_sim.VirtualTorso(servos=False) as t:
        yield t


def run(
    probe: Path,
    torso: Any,
    *steps: str,
    interface: str | None = None,
    at_ready: Callable[[], None] | None = None,
) -> list[dict[str, Any]]:
    """Runs the probe on the torso's interface; returns its lines, open first."""
    env = dict(os.environ)
    preload = quillet_sim.preload_path()
    current = env.get("LD_PRELOAD", "")
    if preload not in current.replace(":", " ").split():
        env["LD_PRELOAD"] = f"{preload} {current}".strip()
    proc = subprocess.Popen(
        [str(probe), interface or torso.can_interface, *steps],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    assert proc.stdin is not None and proc.stdout is not None
    lines = []
    try:
        for raw in proc.stdout:
            line = json.loads(raw)
            lines.append(line)
            if line["step"] == "ready":
                if at_ready is not None:
                    at_ready()
                proc.stdin.write("\n")
                proc.stdin.flush()
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return lines


def ok(line: dict[str, Any]) -> Any:
    assert line["ok"], line
    return line.get("value")


def client_frames(torso: Any) -> list[Any]:
    return [r for r in torso.can_traffic() if r.source == "client"]


def test_open_send_and_receive(probe: Path, torso: Any) -> None:
    def inject() -> None:
        torso.send_can_frame(0x321, b"\x01\x02")
        torso.send_can_frame(0x1234567, bytes.fromhex("deadbeef00112233"), extended=True)
        torso.send_can_frame(0x42, bytes(range(20)), fd=True)

    lines = run(
        probe,
        torso,
        "send:s123:0102030405060708",
        "send:e1abcdef:aabb",
        "sendfd:s124:0102030405060708090a0b0c:brs",
        "ready",
        "recv:2000",
        "recv:2000",
        "recv:2000",
        at_ready=inject,
    )
    assert [line["ok"] for line in lines] == [True] * 8
    assert lines[5]["value"] == {"id": 0x321, "extended": False, "fd": False, "brs": False, "data": "0102"}
    assert lines[6]["value"] == {
        "id": 0x1234567, "extended": True, "fd": False, "brs": False, "data": "deadbeef00112233"
    }
    assert lines[7]["value"]["fd"] is True
    assert lines[7]["value"]["data"] == bytes(range(20)).hex()

    sent = client_frames(torso)
    assert [(r.can_id, r.extended, r.fd, r.data) for r in sent] == [
        (0x123, False, False, bytes.fromhex("0102030405060708")),
        (0x1ABCDEF, True, False, b"\xaa\xbb"),
        (0x124, False, True, bytes(range(1, 13))),
    ]
    assert sent[2].flags & 0x01  # bit-rate switch


def test_refused_frames_write_nothing(probe: Path, torso: Any) -> None:
    lines = run(
        probe,
        torso,
        "send:s001:" + "00" * 9,
        "send:s800:" + "00" * 8,
        "send:e20000000:-",
        "sendfd:s001:" + "00" * 65,
        "send:s002:11",
    )
    assert [line.get("error") for line in lines[1:]] == [
        "frame too large for selected mode: 9 bytes",
        "invalid CAN id",
        "invalid CAN id",
        "frame too large for selected mode: 65 bytes",
        None,
    ]
    assert [(r.can_id, r.data) for r in client_frames(torso)] == [(0x002, b"\x11")]


def test_request_without_reply_times_out(probe: Path, torso: Any) -> None:
    lines = run(probe, torso, "request:s200:0000000000000000:s201:50")
    assert lines[1]["ok"] is False
    assert lines[1]["error"] == "timeout waiting for frame"
    # About the time-out: the kernel counts receive time-outs in scheduler ticks.
    assert 40_000 <= lines[1]["elapsed_us"] < 1_000_000
    assert [(r.can_id, r.data) for r in client_frames(torso)] == [(0x200, bytes(8))]


def test_request_skips_two_foreign_frames(probe: Path, torso: Any) -> None:
    torso.set_foreign_traffic(before_reply=2, can_id=0x100, data=bytes(8))
    lines = run(probe, torso, "request:s7ff:0100cc0000000000:s001:200", "recv:30")
    reply = ok(lines[1])
    assert reply["id"] == 1 and not reply["extended"]
    assert int(reply["data"][:2], 16) & 0x0F == 1  # motor id nibble
    # The two foreign frames were dropped by the request, not left for the next reader.
    assert lines[2]["ok"] is False and lines[2]["error"] == "timeout waiting for frame"

    traffic = torso.can_traffic()
    start = next(i for i, r in enumerate(traffic) if r.source == "client")
    after = [(r.source, r.can_id) for r in traffic[start + 1 :]]
    assert after[:3] == [("foreign", 0x100), ("foreign", 0x100), ("motor", 0x001)]
    assert bytes.fromhex(reply["data"]) == traffic[start + 3].data


def test_unknown_interface(probe: Path, torso: Any) -> None:
    lines = run(probe, torso, interface="qmcnosuch9")
    assert lines[0]["step"] == "open" and lines[0]["ok"] is False
    assert lines[0]["error"].startswith("backend error: ")


def test_enable_mit_command_and_feedback(probe: Path, torso: Any) -> None:
    torso.motor(2).set_position(0.25)
    torso.motor(1).set_blocked(True)
    lines = run(probe, torso, "enable:1", "control:1:0.3:0:30:1:0", "feedback:1", "feedback:2")
    for line in lines:
        ok(line)
    assert lines[1]["value"]["motor_id"] == 1
    assert lines[4]["value"]["motor_id"] == 2
    assert abs(lines[4]["value"]["position"] - 0.25) <= 25 / 65535

    state = torso.motor(1).state()
    assert state.enabled
    assert state.last_command is not None
    assert abs(state.last_command.position - 0.3) <= 25 / 65535
    assert abs(state.last_command.kp - 30) <= 500 / 4095
    assert abs(state.last_command.kd - 1) <= 5 / 4095
    assert abs(lines[3]["value"]["position"] - torso.motor(1).position) <= 25 / 65535

    traffic = torso.can_traffic()
    sent = [(r.can_id, r.data.hex()) for r in traffic if r.source == "client"]
    assert sent == [
        (0x001, "fffffffffffffffc"),
        (0x001, "83117ff0f53337ff"),  # position 0.3, kp 30, kd 1 in 32-bit arithmetic
        (0x7FF, "0100cc0000000000"),
        (0x7FF, "0200cc0000000000"),
    ]
    replies = [(r.source_id, r.can_id, len(r.data)) for r in traffic if r.source == "motor"]
    assert replies == [(1, 0x001, 8), (1, 0x001, 8), (1, 0x001, 8), (2, 0x002, 8)]

    lines = run(probe, torso, "disable:1")
    ok(lines[1])
    assert not torso.motor(1).state().enabled
    assert client_frames(torso)[-1].data.hex() == "fffffffffffffffd"


def test_silent_motor_times_out(probe: Path, torso: Any) -> None:
    torso.motor(3).set_silent(True)
    lines = run(probe, torso, "feedback:3", "feedback:1")
    assert lines[1]["ok"] is False
    assert lines[1]["error"] == "transport error: timeout waiting for frame"
    assert ok(lines[2])["motor_id"] == 1


def test_ensure_control_mode(probe: Path, torso: Any) -> None:
    torso.motor(2).set_control_mode(2)
    lines = run(probe, torso, "read-reg:2:10", "ensure-mode:2:1", "read-reg:2:10")
    assert ok(lines[1]) == {"kind": "Uint32", "value": 2}
    ok(lines[2])
    assert lines[2]["elapsed_us"] >= 100_000
    assert ok(lines[3]) == {"kind": "Uint32", "value": 1}
    assert torso.motor(2).state().control_mode == 1
    assert [r.data.hex() for r in client_frames(torso)] == [
        "0200330a00000000",
        "0200330a00000000",
        "0200550a01000000",
        "0200330a00000000",
        "0200330a00000000",
    ]

    # Already in the mode: one read, no write.
    torso.clear_traffic()
    lines = run(probe, torso, "ensure-mode:2:1")
    ok(lines[1])
    assert [r.data.hex() for r in client_frames(torso)] == ["0200330a00000000"]
