import errno
import fcntl
import math
import os
import socket
import struct

import pytest

quillet_sim = pytest.importorskip("quillet_sim")

PING, READ = 0x01, 0x02
FEEDBACK, READ_REGISTER = 0xCC, 0x33


def buses(torso):
    return ["--serial", torso.serial_path, "--can", torso.can_interface]


def row(table, joint):
    """The cells of a joint's line in the table."""
    return next(line.split() for line in table.splitlines() if line.split()[:1] == [joint])


def host_packets(torso):
    """(id, instruction) of every packet the host sent."""
    return [(r.data[2], r.data[4]) for r in torso.servo_traffic() if r.source == "host" and r.kind == "packet"]


def test_healthy_torso_reads_every_value_and_writes_nothing(torso, scan):
    torso.servo(2).set_position(1024)
    torso.servo(6).write(21, [40, 7, 3])      # P, D, I
    torso.motor(3).set_position(0.25)
    torso.clear_traffic()

    run = scan(*buses(torso), "--json")
    assert run.status == 0, run.out
    report = run.json()
    assert report["ready"] and report["problems"] == [] and report["other_ids"] is None
    servos = {s["joint"]: s for s in report["servos"]}
    assert [s["id"] for s in report["servos"]] == [1, 2, 3, 4, 5, 6, 7]
    assert servos["left_arm_yaw"]["position_steps"] == 1024
    assert servos["left_arm_yaw"]["position_rad"] == pytest.approx(-math.pi / 2)
    assert servos["nose_left"]["gains"] == {"p": 40, "d": 7, "i": 3}
    assert servos["nose_left"]["model"] == "STS3025BL" and servos["left_arm_pitch"]["model"] == "SM40BL"
    assert all(s["answers"] and s["voltage_v"] == 12.0 and s["torque_enabled"] is False for s in servos.values())
    neck = {m["joint"]: m for m in report["neck"]}
    assert neck["neck_roll"]["position_rad"] == pytest.approx(0.25, abs=1e-3)
    assert all(m["answers"] and m["control_mode"] == 1 and m["mit"] for m in neck.values())

    # Read-only: pings and reads on the servo bus, feedback requests and register reads on CAN.
    assert {code for _, code in host_packets(torso)} == {PING, READ}
    frames = [r for r in torso.can_traffic() if r.source == "client"]
    assert frames and all(r.can_id == 0x7FF and r.data[2] in (FEEDBACK, READ_REGISTER) for r in frames)
    assert not any(torso.servo(i).torque_enabled for i in range(1, 8))
    assert not any(torso.motor(i).state().enabled for i in range(1, 4))

    table = scan(*buses(torso))
    assert table.status == 0
    assert row(table.out, "left_arm_yaw") == "left_arm_yaw 2 SM40BL yes -1.571 1024 12.0 V off 32 32 0".split()
    assert row(table.out, "nose_left")[-3:] == ["40", "7", "3"]
    assert row(table.out, "neck_roll") == "neck_roll 3 yes 1 (MIT) 0.250".split()
    assert table.out.rstrip().endswith("READY: all ten devices answer, every supply is at least 11.0 V")


def test_missing_servo_low_supply_and_silent_motor_fail_the_scan(scan):
    with quillet_sim.VirtualTorso(servos=[1, 3, 4, 5, 6, 7], motors=[1, 2]) as torso:
        torso.servo(5).set_voltage(74)
        run = scan(*buses(torso), "--json")
        table = scan(*buses(torso))
    assert run.status == 1 and table.status == 1
    report = run.json()
    assert not report["ready"]
    assert report["problems"] == [
        "left_arm_yaw (id 2) does not answer",
        "nose_top (id 5) supply is 7.4 V, below 11.0 V",
        "neck_roll (CAN id 3) does not answer",
    ]
    servos = {s["joint"]: s for s in report["servos"]}
    assert servos["left_arm_yaw"]["answers"] is False and servos["left_arm_yaw"]["position_rad"] is None
    assert servos["nose_top"]["voltage_raw"] == 74 and servos["nose_top"]["answers"]
    assert [m["answers"] for m in report["neck"]] == [True, True, False]
    assert row(table.out, "left_arm_yaw")[:4] == ["left_arm_yaw", "2", "SM40BL", "NO"]
    assert "  - nose_top (id 5) supply is 7.4 V, below 11.0 V" in table.out
    assert "NOT READY: 3 problems" in table.out


def test_supply_of_exactly_11_volts_is_enough(torso, scan):
    torso.servo(7).set_voltage(110)
    assert scan(*buses(torso)).status == 0
    torso.servo(7).set_voltage(109)
    assert scan(*buses(torso)).status == 1


def test_motor_in_another_mode_is_reported_but_does_not_fail(torso, scan):
    torso.motor(2).set_control_mode(2)
    run = scan(*buses(torso), "--json")
    assert run.status == 0
    report = run.json()
    pitch = report["neck"][1]
    assert (pitch["joint"], pitch["control_mode"], pitch["mit"]) == ("neck_pitch", 2, False)
    assert report["notes"] == ["neck_pitch is in control mode 2, not MIT (1): enabling the neck switches it to MIT"]
    assert row(scan(*buses(torso)).out, "neck_pitch")[:5] == "neck_pitch 2 yes 2 (not".split()
    assert torso.motor(2).state().control_mode == 2  # left as it was


def test_all_ids_pings_every_other_id(torso, scan):
    torso.clear_traffic()
    report = scan(*buses(torso), "--all-ids", "--json").json()
    assert report["other_ids"] == []
    pinged = {servo_id for servo_id, code in host_packets(torso) if code == PING}
    assert pinged == set(range(0, 254))
    assert "other ids answering (0-253): none" in scan(*buses(torso), "--all-ids").out


def test_servo_on_another_id_is_found_with_all_ids(torso, scan):
    torso.servo(2).set_bus_id(12)
    run = scan(*buses(torso), "--all-ids", "--json")
    assert run.status == 1
    report = run.json()
    assert report["other_ids"] == [12]
    assert report["servos"][1]["answers"] is False
    assert any("left_arm_yaw (id 2)" in note and "[12]" in note for note in report["notes"])


def test_bad_path_and_unknown_interface_are_named(scan):
    run = scan("--serial", "/dev/ttyUSB-quillet-none", "--can", "qcan-none", "--json")
    assert run.status == 1
    report = run.json()
    assert report["serial"] == {"path": "/dev/ttyUSB-quillet-none", "scanned": True, "reached": False,
                                "error": "serial device /dev/ttyUSB-quillet-none does not exist: is the servo "
                                         "adapter plugged in? (ls /dev/serial/by-id/)", "adapter": None}
    assert report["can"]["error"].startswith("CAN interface qcan-none does not exist")
    assert report["problems"] == [report["serial"]["error"], report["can"]["error"]]
    assert not any(s["answers"] for s in report["servos"] + report["neck"])
    assert "Servo bus /dev/ttyUSB-quillet-none\n  not reached (see Problems)" in scan(
        "--serial", "/dev/ttyUSB-quillet-none", "--can", "qcan-none").out


def test_a_file_that_is_not_a_device_is_refused(scan, tmp_path):
    regular = tmp_path / "ttyUSB0"
    regular.write_bytes(b"")
    report = scan("--serial", str(regular), "--no-can", "--json").json()
    assert report["serial"]["error"] == f"{regular} is not a serial device"
    assert regular.read_bytes() == b""


def test_port_held_by_another_program_is_named_and_the_neck_still_scanned(torso, scan):
    holder = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        run = scan(*buses(torso), "--json")
    finally:
        os.close(holder)
    report = run.json()
    assert run.status == 1
    assert report["serial"]["error"].startswith(f"serial device {torso.serial_path} is in use by another program")
    assert f"pid {os.getpid()}" in report["serial"]["error"]
    assert all(m["answers"] for m in report["neck"])


def test_one_bus_left_out_is_not_ready(torso, scan):
    servos_only = scan("--serial", torso.serial_path, "--no-can", "--json")
    neck_only = scan("--can", torso.can_interface, "--json")
    assert servos_only.status == 1 and servos_only.json()["problems"] == ["CAN bus not scanned"]
    assert all(s["answers"] for s in servos_only.json()["servos"])
    assert neck_only.status == 1 and neck_only.json()["problems"] == ["servo bus not scanned (give --serial PATH)"]
    assert all(m["answers"] for m in neck_only.json()["neck"])


def test_checksum_line_of_the_bus_layer_keeps_off_the_json(torso, scan):
    # It used to be printed on stdout in the middle of the report.
    torso.servo(3).corrupt_next_reply()
    run = scan(*buses(torso), "--json")
    assert "read crc" in run.err
    assert run.json()["servos"][2]["joint"] == "right_arm_pitch"


def test_bad_command_line_exits_2(scan):
    run = scan("--serial")
    assert run.status == 2 and "--serial needs a path" in run.err and run.out == ""
    assert scan("--frobnicate").status == 2


def test_a_servo_at_another_baud_rate_is_found_there_and_left_as_it_is(torso, scan):
    torso.servo(2).set_baud_rate(115_200)
    torso.clear_traffic()
    run = scan(*buses(torso), "--json")
    assert run.status == 1
    report = run.json()
    assert report["problems"] == ["left_arm_yaw (id 2) answers at 115200 baud, not at 1 Mbaud: "
                                  "set its baud rate to 1 Mbaud with the servo maker's tool"]
    yaw = report["servos"][1]
    assert (yaw["answers"], yaw["baud_rate"]) == (False, 115_200)
    assert all(s["baud_rate"] is None for s in report["servos"] if s["joint"] != "left_arm_yaw")
    assert report["serial"]["adapter"] == {"pseudo_terminal": True, "driver": None, "latency_timer_ms": None}
    # Read-only, and only the silent servo is asked again; the line is back at 1 Mbaud.
    assert {code for _, code in host_packets(torso)} == {PING, READ}
    assert torso.servo(2).state().baud_rate == 115_200
    assert row(scan(*buses(torso)).out, "left_arm_yaw")[:4] == ["left_arm_yaw", "2", "SM40BL", "at"]

    plain = scan(*buses(torso), "--no-probe-baud", "--json").json()
    assert plain["problems"] == ["left_arm_yaw (id 2) does not answer"] and plain["servos"][1]["baud_rate"] is None


def can_problem(report):
    return next(p for p in report["problems"] if "acknowledge" in p)


def test_a_can_bus_on_which_nobody_acknowledges_is_named_with_the_causes(torso, scan):
    torso.set_can_ack(False)
    run = scan(*buses(torso), "--json")
    assert run.status == 1
    report = run.json()
    assert report["can"]["acknowledged"] is False and not any(m["answers"] for m in report["neck"])
    problem = can_problem(report)
    assert problem.startswith(f"no device acknowledges the frames sent on {torso.can_interface} (")
    for cause in ("unpowered", "CAN-H and CAN-L are swapped", "120 Ω termination", "another bitrate"):
        assert cause in problem
    assert not any("does not answer" in p for p in report["problems"])  # one cause, said once
    assert all(s["answers"] for s in report["servos"])

    # An adapter whose queue is already full refuses the scan's first frame.
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as other:
        other.bind((torso.can_interface,))
        with pytest.raises(OSError) as full:
            for _ in range(20):
                other.send(struct.pack("=IB3x8s", 0x7FF, 8, bytes([1, 0, 0xCC, 0, 0, 0, 0, 0])))
        assert full.value.errno == errno.ENOBUFS
    refused = scan("--can", torso.can_interface, "--json").json()
    assert "the adapter refuses new frames" in can_problem(refused)

    torso.set_can_ack(True)
    healthy = scan(*buses(torso), "--json")
    assert healthy.status == 0 and healthy.json()["can"]["acknowledged"] is True
