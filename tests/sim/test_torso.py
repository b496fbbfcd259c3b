"""The virtual torso as a whole: starting and stopping, the control channel, the console
command and the pytest plugin."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import quillet_sim
from quillet_sim import TorsoError, VirtualTorso
from quillet_sim.pytest_plugin import preload_active


def served(interface: str) -> bool:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        s.connect(b"\0quillet-sim/can/" + interface.encode())
        return True
    except ConnectionRefusedError:
        return False
    finally:
        s.close()


def test_a_stopped_torso_leaves_nothing_behind(tmp_path):
    link = tmp_path / "servos"
    with VirtualTorso(serial_link=link) as torso:
        pty = torso._call("info")["pty_path"]
        interface = torso.can_interface
        assert os.path.exists(pty) and os.path.islink(link) and served(interface)
        process = torso._process
    assert process.returncode == 0
    assert not os.path.lexists(link) and not served(interface)
    with pytest.raises(TorsoError, match="not running"):
        torso.servo(1).state()


@pytest.mark.parametrize(
    "servos,motors,servo_ids,motor_ids",
    [(True, True, [1, 2, 3, 4, 5, 6, 7], [1, 2, 3]), (False, [2], [], [2]), ([5, 1], False, [1, 5], [])],
)
def test_devices_can_be_left_out(make_torso, servos, motors, servo_ids, motor_ids):
    torso = make_torso(servos, motors)
    assert torso._call("info")["servos"] == servo_ids and torso._call("info")["motors"] == motor_ids
    assert (torso.serial_path is None) == (servos is False)
    assert served(torso.can_interface)
    absent = next((i for i in range(1, 8) if i not in servo_ids), 8)
    with pytest.raises(ValueError):
        torso.servo(absent)


def test_a_chosen_interface_name_is_served_once(make_torso):
    name = f"qsim{os.getpid() % 100000}"
    torso = make_torso(servos=False, can_interface=name)
    assert torso.can_interface == name
    with pytest.raises(TorsoError, match="already served"):
        make_torso(servos=False, can_interface=name)
    with pytest.raises(ValueError):
        VirtualTorso(can_interface="a-name-far-too-long")


def test_a_link_over_a_regular_file_is_refused(tmp_path):
    target = tmp_path / "not-a-link"
    target.write_text("keep me")
    with pytest.raises(TorsoError, match="not a symlink"):
        VirtualTorso(serial_link=target).start()
    assert target.read_text() == "keep me"


def test_requests_the_torso_refuses_raise_with_its_reason(torso):
    with pytest.raises(TorsoError, match="unknown servo setting"):
        torso._call("servo.set", 1, "colour", 1)
    with pytest.raises(TorsoError, match="no simulated servo 9"):
        torso._call("servo.state", 9)
    with pytest.raises(TorsoError, match="unknown request"):
        torso._call("dance")
    with pytest.raises(TorsoError, match="bad voltage"):
        torso._call("servo.set", 1, "voltage", "inf")
    assert torso.servo(1).voltage == 120  # the channel still works


def test_a_dead_daemon_is_reported_clearly(make_torso):
    torso = make_torso(servos=False)
    torso._process.kill()
    torso._process.wait()
    with pytest.raises(TorsoError, match="exited unexpectedly"):
        torso.motor(1).state()
    with pytest.raises(TorsoError):
        torso.clear_traffic()
    torso.stop()


def test_the_daemon_stops_when_its_owner_dies():
    program = (
        "import sys, quillet_sim\n"
        "t = quillet_sim.VirtualTorso(servos=False).start()\n"
        "print(t.can_interface, t._process.pid, flush=True)\n"
        "sys.stdin.read()\n"
    )
    owner = subprocess.Popen([sys.executable, "-c", program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    interface, pid = owner.stdout.readline().split()
    assert served(interface)
    owner.kill()
    owner.wait()
    deadline = time.monotonic() + 5
    while served(interface) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not served(interface)
    with pytest.raises(ProcessLookupError):
        for _ in range(500):  # reaped by init once gone
            os.kill(int(pid), 0)
            time.sleep(0.01)


def test_quillet_sim_runs_by_hand_and_stops_on_ctrl_c():
    command = [sys.executable, "-c", "import sys; from quillet_sim.cli import main; sys.exit(main())"]
    cli = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        serial_line = cli.stdout.readline()
        can_line = cli.stdout.readline()
        assert serial_line.startswith("serial port: /dev/pts/")
        interface = can_line.removeprefix("CAN interface: ").strip()
        assert served(interface)
        os.stat(serial_line.removeprefix("serial port: ").strip())
    finally:
        cli.send_signal(signal.SIGINT)
        out, err = cli.communicate(timeout=10)
    assert cli.returncode == 0, err
    assert out.rstrip().endswith("stopped")
    assert not served(interface)


def test_the_console_command_is_installed():
    scripts = os.path.dirname(sys.executable)
    assert os.access(os.path.join(scripts, "quillet-sim"), os.X_OK)


def test_the_package_ships_its_daemon_and_preload_library():
    assert os.access(quillet_sim.daemon_path(), os.X_OK)
    library = quillet_sim.preload_path()
    assert library.endswith("libquillet_socketcan.so") and os.path.isfile(library)


def test_this_test_session_runs_under_the_preload():
    assert preload_active(), "the pytest plugin did not restart pytest under the SocketCAN stand-in"


def test_the_daemon_does_not_inherit_the_preload(torso):
    with open(f"/proc/{torso._process.pid}/environ", "rb") as environ:
        variables = environ.read().split(b"\0")
    assert not any(v.startswith(b"LD_PRELOAD=") and b"libquillet_socketcan" in v for v in variables)
