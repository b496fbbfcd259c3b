"""Servo group operations, checked on the packets that crossed the virtual servo bus."""

import math

import pytest

from quillet_motor_controller import QuilletMotorController

SYNC_READ, SYNC_WRITE = 0x82, 0x83
NECK_ONLY = "serial port not configured (neck-only controller)"


def sync_write_body(packet):
    """(address, [(id, data), ...]) of a sync-write packet."""
    assert packet[2] == 0xFE and packet[4] == SYNC_WRITE
    address, width = packet[5], packet[6]
    body = packet[7:-1]
    return address, [(body[i], bytes(body[i + 1 : i + 1 + width])) for i in range(0, len(body), width + 1)]


def test_full_read_is_two_sync_reads_and_three_feedback_requests(torso, controller, host_packets, client_frames):
    torso.servo(1).set_position(3072)
    torso.motor(1).set_position(0.25)
    torso.clear_traffic()

    servos = controller.read_all_positions()
    neck = controller.read_neck_positions()

    packets = host_packets()
    assert [p[4] for p in packets] == [SYNC_READ, SYNC_READ]
    assert [list(p[5:-1]) for p in packets] == [[56, 2, 1, 2, 3, 4], [56, 2, 5, 6, 7]]
    frames = client_frames()
    assert frames == [(0x7FF, bytes([i, 0, 0xCC, 0, 0, 0, 0, 0])) for i in (1, 2, 3)]
    assert servos[0] == pytest.approx(math.pi / 2) and servos[1:] == [0.0] * 6
    assert neck[0] == pytest.approx(0.25, abs=1e-3)


def test_torque_on_ids_keeps_order_and_duplicates_per_model(torso, controller, host_packets):
    torso.clear_traffic()
    controller.enable_torque_on_ids([7, 2, 2, 9])
    writes = [sync_write_body(p) for p in host_packets()]
    assert writes == [(40, [(2, b"\x01"), (2, b"\x01")]), (40, [(7, b"\x01")])]
    assert torso.servo(2).torque_enabled and torso.servo(7).torque_enabled
    assert not torso.servo(1).torque_enabled

    torso.clear_traffic()
    controller.disable_torque_on_ids([0, 9])
    assert host_packets() == []


def test_goal_and_torque_writes_address_each_group_once(torso, controller, host_packets):
    torso.clear_traffic()
    controller.set_all_goal_positions([0.0, -math.pi, math.pi, -0.0001, 0.0, 0.0, -100.0])
    controller.enable_torque()
    writes = [sync_write_body(p) for p in host_packets()]
    assert writes[0] == (42, [(1, b"\x00\x08"), (2, b"\x00\x00"), (3, b"\x00\x10"), (4, b"\xff\x07")])
    assert writes[1] == (42, [(5, b"\x00\x08"), (6, b"\x00\x08"), (7, b"\x00\x80")])
    assert writes[2:] == [(40, [(i, b"\x01") for i in (1, 2, 3, 4)]), (40, [(i, b"\x01") for i in (5, 6, 7)])]
    assert controller.is_torque_enabled()
    controller.enable_nose(False)
    assert not controller.is_torque_enabled()


def test_nose_read_failure_returns_nothing_partial(torso, controller):
    torso.servo(7).set_silent(True)
    with pytest.raises(RuntimeError) as raised:
        controller.read_all_positions()
    assert str(raised.value) == "Operation timed out" and "(servo id 7) did not answer" in raised.value.__notes__[0]
    # With servo 6 silent the read fails on servo 6's reply; servo 7 answers only after that.
    torso.servo(7).set_silent(False)
    torso.servo(6).set_silent(True)
    with pytest.raises(RuntimeError) as raised:
        controller.read_all_positions()
    assert str(raised.value) == "Operation timed out" and "(servo id 6) did not answer" in raised.value.__notes__[0]
    torso.servo(6).set_silent(False)
    assert len(controller.read_all_positions()) == 7


def test_neck_only_controller_refuses_servo_operations_but_drives_the_neck(torso, neck_only):
    torso.clear_traffic()
    refused = [
        lambda: neck_only.read_all_positions(),
        lambda: neck_only.is_torque_enabled(),
        lambda: neck_only.enable_torque(),
        lambda: neck_only.disable_torque(),
        lambda: neck_only.enable_arms(True),
        lambda: neck_only.enable_nose(False),
        lambda: neck_only.enable_torque_on_ids([1]),
        lambda: neck_only.set_all_goal_positions([0.0] * 7),
        lambda: neck_only.set_arms_position([0.0] * 4),
        lambda: neck_only.set_left_arm_position([0.0] * 2),
        lambda: neck_only.set_right_arm_position([0.0] * 2),
        lambda: neck_only.set_nose_position([0.0] * 3),
        lambda: neck_only.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb"),
    ]
    for call in refused:
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == NECK_ONLY
    neck_only.enable_torque_on_ids([0, 9])
    neck_only.disable_torque_on_ids([])
    assert torso.servo_traffic() == []

    torso.motor(2).set_position(0.2)
    assert neck_only.read_neck_positions()[1] == pytest.approx(0.2, abs=1e-3)


def test_write_raw_packet_returns_none_and_puts_the_bytes_on_the_wire(torso, controller, host_packets):
    ping = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])
    torso.clear_traffic()
    assert controller.write_raw_packet(ping) is None
    assert host_packets() == [ping]
    with pytest.raises(TypeError, match="^argument 'data': "):
        controller.write_raw_packet(bytearray(ping))


def test_second_controller_on_the_same_serial_device_fails_while_the_first_lives(torso):
    first = QuilletMotorController(torso.serial_path, torso.can_interface)
    with pytest.raises(RuntimeError, match="Unable to acquire exclusive lock on serial port"):
        QuilletMotorController(torso.serial_path, torso.can_interface)
    del first
    QuilletMotorController(torso.serial_path, torso.can_interface)


def test_construction_errors(torso):
    with pytest.raises(RuntimeError, match=r"^failed to open CAN bus 'nocan7': backend error: "):
        QuilletMotorController(torso.serial_path, "nocan7")
    # The serial port was closed again: a new controller can take it.
    QuilletMotorController(torso.serial_path, torso.can_interface)
    with pytest.raises(TypeError, match="^argument 'can_bus': "):
        QuilletMotorController(None, None)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.set_all_goal_positions([0.0] * 6 + [math.nan]),
        lambda c: c.set_left_arm_position([math.nan, 0.0]),
        lambda c: c.set_right_arm_position([0.0, math.nan]),
        lambda c: c.set_arms_position([0.0, 0.0, math.nan, 0.0]),
        lambda c: c.set_nose_position([math.nan] * 3),
        lambda c: c.set_neck_position([0.0, math.nan, 0.0]),
        lambda c: c.set_neck_yaw_position(math.nan),
        lambda c: c.set_neck_pitch_position(float("nan")),
        lambda c: c.set_neck_roll_position(math.nan),
    ],
)
def test_positions_that_are_not_numbers_never_reach_the_wire(torso, controller, call):
    torso.clear_traffic()
    with pytest.raises(ValueError, match=r"^argument 'positions?': position is not a number"):
        call(controller)
    assert torso.servo_traffic() == [] and torso.can_traffic() == []


def test_a_fault_inside_an_operation_poisons_the_controller(torso):
    import quillet_motor_controller as qmc

    controller = QuilletMotorController(torso.serial_path, torso.can_interface)
    if not hasattr(qmc, "_fault_in_controller"):
        pytest.skip("module built without its test surface (QMC_TEST_SURFACE)")
    with pytest.raises(SystemError, match="broken invariant inside an operation"):
        qmc._fault_in_controller(controller)
    for call in (controller.read_all_positions, controller.neck_position_limits,
                 lambda: controller.set_neck_yaw_position(0.0)):
        with pytest.raises(RuntimeError, match="^Failed to lock motor controller$"):
            call()
    # Refused values are still the caller's fault (they were "Failed to lock" for a while).
    with pytest.raises(ValueError, match="^argument 'position': position is not a number"):
        controller.set_neck_yaw_position(math.nan)
    torso.clear_traffic()
    with pytest.raises(TypeError):  # arguments are still converted first
        controller.enable_arms(1)
    assert torso.servo_traffic() == [] and torso.can_traffic() == []
    # A new object recovers.
    del controller
    QuilletMotorController(torso.serial_path, torso.can_interface).read_all_positions()
