"""What the controller tells of a failure beside its fixed message (PEP 678 notes), on the
faults of a first hour with the robot, and the controller in a `with` block."""

import fcntl
import os

import pytest

from quillet_motor_controller import QuilletMotorController

CLOSED = "QuilletMotorController is closed"


def failure(call, *args):
    with pytest.raises(RuntimeError) as raised:
        call(*args)
    return str(raised.value), getattr(raised.value, "__notes__", [])


def test_a_silent_servo_and_one_at_another_rate_are_named_with_their_bus(torso, controller):
    path = torso.serial_path
    torso.servo(2).set_silent(True)
    message, notes = failure(controller.read_all_positions)
    assert message == "Operation timed out"
    assert notes[0] == f"servo bus {path}: left_arm_yaw (servo id 2) did not answer within the 10 ms reply time-out"
    assert f"quillet-scan --serial {path} --all-ids" in notes[1] and "baud rate" in notes[1]
    torso.servo(2).set_silent(False)
    torso.servo(6).set_baud_rate(115_200)  # looks the same from 1 Mbaud
    assert failure(controller.read_all_positions)[1][0].startswith(f"servo bus {path}: nose_left (servo id 6) did not")
    torso.servo(6).set_baud_rate(1_000_000)
    assert len(controller.read_all_positions()) == 7


def test_a_can_bus_nobody_acknowledges_is_told_with_its_causes_and_recovers(torso, controller):
    interface = torso.can_interface
    torso.set_can_ack(False)
    message, notes = failure(controller.read_neck_positions)
    assert message == "read_neck_positions(neck_yaw): transport error: timeout waiting for frame"
    assert notes == [f"CAN bus {interface}: neck_yaw (CAN id 1) did not answer within 20 ms",
                     f"check with: quillet-scan --can {interface}"]
    for _ in range(9):  # each request waits in the adapter's queue until it is full
        failure(controller.set_neck_pitch_position, 0.1)
    message, notes = failure(controller.set_neck_pitch_position, 0.1)
    assert message == ("set_neck_pitch_position: transport error: backend error: "
                       "No buffer space available (os error 105)")
    assert notes[0] == f"CAN bus {interface}: the frame to neck_pitch (CAN id 2) could not be sent"
    assert notes[1].startswith(f"no device acknowledges the frames sent on {interface}: ")
    assert notes[2].startswith("usual causes: the motors are unpowered, CAN-H and CAN-L are swapped")
    assert "120 Ω termination" in notes[2] and "another bitrate" in notes[2]
    torso.set_can_ack(True)
    assert len(controller.read_neck_positions()) == 3


def test_opening_failures_say_what_holds_or_lacks_the_bus(torso):
    holder = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        message, notes = failure(QuilletMotorController, torso.serial_path, torso.can_interface)
    finally:
        os.close(holder)
    assert message == "Unable to acquire exclusive lock on serial port"
    assert notes[-1] == f"another program has the port open: quillet-scan --serial {torso.serial_path} names it"
    message, notes = failure(QuilletMotorController, None, "qcan-none")
    assert message == "failed to open CAN bus 'qcan-none': backend error: No such device (os error 19)"
    assert notes[0].startswith("CAN interface qcan-none does not exist")


def test_the_end_of_a_with_block_closes_it_and_frees_the_port_at_once(torso):
    with QuilletMotorController(torso.serial_path, torso.can_interface) as controller:
        assert isinstance(controller, QuilletMotorController)
        assert len(controller.read_all_positions()) == 7
    for call, args in ((controller.read_all_positions, ()), (controller.read_neck_positions, ()),
                       (controller.neck_position_limits, ()), (controller.enable_arms, (True,)),
                       (controller.__enter__, ())):
        assert failure(call, *args) == (CLOSED, [])
    controller.__exit__(None, None, None)  # once more: nothing left to release
    with QuilletMotorController(torso.serial_path, torso.can_interface) as again:  # the port is free
        assert len(again.read_all_positions()) == 7


def test_an_exception_in_the_block_goes_on_and_the_buses_are_released(torso):
    with pytest.raises(KeyError):
        with QuilletMotorController(torso.serial_path, torso.can_interface) as controller:
            raise KeyError("inside")
    assert failure(controller.is_torque_enabled) == (CLOSED, [])
    holder = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)  # nobody holds it any more
    finally:
        os.close(holder)
    with pytest.raises(TypeError):
        QuilletMotorController(None, torso.can_interface).__exit__(None)
