"""The virtual torso's servo line, spoken to with raw reads and writes on its pseudo-terminal."""

from __future__ import annotations

import errno
import fcntl
import os
import select
import struct
import termios
import time

import pytest

import quillet_sim

PING, READ, WRITE, REBOOT, SYNC_READ, SYNC_WRITE = 0x01, 0x02, 0x03, 0x08, 0x82, 0x83
BROADCAST = 0xFE
TORQUE, GOAL, PRESENT, VOLTAGE = 40, 42, 56, 62


def checksum(body: bytes) -> int:
    return ~sum(body) & 0xFF


def instruction(servo_id: int, code: int, params: bytes = b"") -> bytes:
    body = bytes([servo_id, len(params) + 2, code]) + params
    return b"\xff\xff" + body + bytes([checksum(body)])


def status(servo_id: int, params: bytes = b"", error: int = 0) -> bytes:
    body = bytes([servo_id, len(params) + 2, error]) + params
    return b"\xff\xff" + body + bytes([checksum(body)])


def split_status(data: bytes) -> list[bytes]:
    """Cuts a run of back-to-back status packets at their length bytes."""
    packets = []
    while len(data) >= 4:
        packets.append(data[: data[3] + 4])
        data = data[data[3] + 4 :]
    assert data == b"", f"trailing bytes {data.hex()}"
    return packets


def sync_read(ids: list[int], address: int, count: int) -> bytes:
    return instruction(BROADCAST, SYNC_READ, bytes([address, count, *ids]))


def sync_write(address: int, values: dict[int, bytes]) -> bytes:
    width = len(next(iter(values.values())))
    params = bytes([address, width]) + b"".join(bytes([i]) + v for i, v in values.items())
    return instruction(BROADCAST, SYNC_WRITE, params)


def steps(value: int) -> bytes:
    return struct.pack("<h", value)


def replies_from(torso, servo_id: int) -> list:
    return [r for r in torso.servo_traffic() if r.source == "servo" and r.servo_id == servo_id]


# ---- opened like a serial device --------------------------------------------------------------

TCGETS2, TCSETS2 = 0x802C542A, 0x402C542B
TIOCGEXCL = 0x80045440
CBAUD, BOTHER = 0o010017, 0o010000
TERMIOS2 = struct.Struct("=4I B 19s 2I")


@pytest.mark.native_only("qemu-user does not pass the TIOCGEXCL ioctl through (ENOTTY)")
def test_the_device_takes_custom_speed_exclusive_mode_and_a_lock(torso, serial):
    iflag, oflag, cflag, lflag, line, cc, _, _ = TERMIOS2.unpack(
        fcntl.ioctl(serial.fd, TCGETS2, bytes(TERMIOS2.size)))
    cflag = (cflag & ~CBAUD) | BOTHER
    fcntl.ioctl(serial.fd, TCSETS2, TERMIOS2.pack(iflag, oflag, cflag, lflag, line, cc, 1_000_000, 1_000_000))
    *_, ispeed, ospeed = TERMIOS2.unpack(fcntl.ioctl(serial.fd, TCGETS2, bytes(TERMIOS2.size)))
    assert (ispeed, ospeed) == (1_000_000, 1_000_000)

    fcntl.ioctl(serial.fd, termios.TIOCEXCL)
    assert struct.unpack("i", fcntl.ioctl(serial.fd, TIOCGEXCL, bytes(4)))[0] == 1
    fcntl.flock(serial.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    other = os.open(torso.serial_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK) if os.geteuid() == 0 else None
    if other is not None:  # root passes the exclusive mode; the lock still keeps it out
        try:
            with pytest.raises(BlockingIOError):
                fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(other)
    fcntl.ioctl(serial.fd, termios.TIOCNXCL)

    assert serial.exchange(instruction(1, PING), 6) == status(1)
    serial.send(instruction(2, PING))
    select.select([serial.fd], [], [], 0.5)
    time.sleep(0.01)
    waiting = struct.unpack("i", fcntl.ioctl(serial.fd, termios.FIONREAD, bytes(4)))[0]
    assert waiting == 6 and os.read(serial.fd, 64) == status(2)


# ---- instructions -----------------------------------------------------------------------------


@pytest.mark.parametrize("servo_id", range(1, 8))
def test_every_servo_answers_ping_with_an_empty_status(serial, servo_id):
    assert serial.exchange(instruction(servo_id, PING), 6) == status(servo_id)


def test_ping_is_the_documented_byte_string(serial):
    assert serial.exchange(bytes.fromhex("ffff010201fb"), 6) == bytes.fromhex("ffff010200fc")


@pytest.mark.parametrize(
    "packet",
    [
        instruction(8, PING),  # nobody has id 8
        instruction(1, PING)[:-1] + b"\x00",  # bad checksum
        instruction(1, 0x55),  # unknown instruction
        instruction(BROADCAST, PING),
        instruction(1, READ, b"\x38"),  # too short for a read
    ],
    ids=["absent id", "bad checksum", "unknown instruction", "broadcast ping", "short read"],
)
def test_packets_not_for_a_servo_go_unanswered(serial, packet):
    serial.send(packet)
    assert serial.quiet(0.05) == b""


def test_read_returns_the_register_bytes(torso, serial):
    assert serial.exchange(instruction(5, READ, bytes([PRESENT, 2])), 8) == status(5, steps(2048))
    assert serial.exchange(instruction(3, READ, bytes([VOLTAGE, 1])), 7) == status(3, bytes([120]))
    assert serial.exchange(instruction(1, READ, bytes([21, 3])), 9) == status(1, bytes(torso.servo(1).pid))


def test_write_changes_the_table_and_is_acknowledged(torso, serial):
    assert serial.exchange(instruction(4, WRITE, bytes([21, 40, 5, 1])), 6) == status(4)
    assert torso.servo(4).pid == (40, 5, 1)
    assert serial.exchange(instruction(4, WRITE, bytes([GOAL]) + steps(-2)), 6) == status(4)
    assert torso.servo(4).read(GOAL, 2) == b"\xfe\xff"
    assert torso.servo(4).goal_position == -2


def test_a_read_past_what_a_reply_can_carry_is_cut_to_fit(torso, serial):
    reply = serial.exchange(instruction(1, READ, bytes([0, 255])), 300)
    # Regression: 255 bytes made the length byte wrap around to 1.
    assert reply == status(1, torso.servo(1).read(0, 253))


def test_present_values_cannot_be_written_from_the_bus(torso, serial):
    serial.exchange(instruction(2, WRITE, bytes([PRESENT]) + steps(100)), 6)
    assert torso.servo(2).position == 2048


def test_sync_read_answers_back_to_back_in_listed_order(serial):
    replies = serial.exchange(sync_read([3, 1, 7, 2], PRESENT, 2), 32)
    assert split_status(replies) == [status(i, steps(2048)) for i in (3, 1, 7, 2)]


def test_sync_read_skips_absent_and_silent_servos_past_the_hosts_time_out(make_torso, open_serial):
    torso = make_torso(servos=[1, 2, 4, 5, 6])
    torso.servo(5).set_silent(True)
    serial = open_serial(torso.serial_path)
    serial.send(sync_read([1, 2, 3, 4, 5, 7, 6], VOLTAGE, 1))
    assert split_status(serial.quiet(0.1)) == [status(i, bytes([120])) for i in (1, 2, 4, 6)]
    request, *replies = torso.servo_traffic()
    # Regression: servo 4 answered at once, where the host awaited servo 3's reply. Each empty
    # slot holds the next servo back by its wait for the missing reply, past the 10 ms time-out.
    assert [r.time - request.time >= wait for r, wait in zip(replies, (0, 0, 0.025, 0.075))] == [True] * 4


def test_the_host_writing_again_ends_the_replies_still_waiting(torso, serial):
    for silent in (3, 5, 6):
        torso.servo(silent).set_silent(True)
    serial.send(sync_read([1, 2, 3, 5, 6, 4], PRESENT, 2))  # servo 4 waits 45 ms
    assert len(serial.read(32, timeout=0.010)) == 16
    assert serial.exchange(instruction(7, PING), 6) == status(7)
    assert serial.quiet(0.08) == b""  # servo 4 gave up its late reply
    assert [r.servo_id for r in torso.servo_traffic() if r.source == "servo"] == [1, 2, 7]
    torso.servo(4).delay_next_reply(0.1)
    serial.send(instruction(4, PING))
    serial.send(instruction(7, PING))  # within the delay: servo 4 never answers
    assert serial.quiet(0.15) == status(7)


def test_sync_write_sets_every_listed_servo_without_a_reply(torso, serial):
    serial.send(sync_write(GOAL, {1: steps(1000), 3: steps(-5), 6: steps(3000)}))
    assert serial.quiet(0.05) == b""
    assert [torso.servo(i).goal_position for i in (1, 2, 3, 6)] == [1000, 2048, -5, 3000]
    serial.send(sync_write(TORQUE, {5: b"\x01", 6: b"\x01", 7: b"\x00"}))
    # Regression: asked at once, the torso answered before taking the write off the line.
    assert [torso.servo(i).torque_enabled for i in (5, 6, 7)] == [True, True, False]


def test_bytes_around_packets_do_not_hide_them(serial):
    serial.send(b"\x00\x13\xff" + instruction(1, PING)[:3])
    serial.send(instruction(1, PING)[3:] + b"\xff\xff\xff" + instruction(2, PING))
    assert split_status(serial.quiet(0.05)) == [status(1), status(2)]


def test_torque_on_moves_toward_the_goal_at_a_finite_speed(torso, serial):
    servo = torso.servo(1)
    servo.set_speed(400)
    serial.exchange(instruction(1, WRITE, bytes([GOAL]) + steps(2048 + 2000)), 6)
    time.sleep(0.05)
    assert servo.position == 2048  # torque off: the goal alone moves nothing
    serial.exchange(instruction(1, WRITE, bytes([TORQUE, 1])), 6)
    first = servo.position
    time.sleep(0.05)
    second = servo.position
    assert 2048 <= first < second < 2048 + 2000
    servo.set_speed(1_000_000)
    time.sleep(0.01)
    assert serial.exchange(instruction(1, READ, bytes([PRESENT, 2])), 8) == status(1, steps(4048))
    serial.exchange(instruction(1, WRITE, bytes([TORQUE, 0])), 6)
    serial.exchange(instruction(1, WRITE, bytes([GOAL]) + steps(0)), 6)
    time.sleep(0.02)
    assert servo.position == 4048


def test_reboot_answers_then_stays_silent_a_while_and_clears_torque(torso, serial):
    serial.exchange(instruction(3, WRITE, bytes([TORQUE, 1])), 6)
    torso.clear_traffic()
    assert serial.exchange(instruction(3, REBOOT), 6) == status(3)
    assert not torso.servo(3).torque_enabled
    serial.send(instruction(3, PING))
    serial.quiet(0.05)
    time.sleep(0.06)
    assert serial.exchange(instruction(3, PING), 6) == status(3)
    reboot_reply, *later = replies_from(torso, 3)
    assert later and later[0].time - reboot_reply.time >= 0.025


def test_wire_timing_paces_the_line_at_ten_microseconds_a_byte(make_torso, open_serial):
    torso = make_torso(motors=False, wire_timing=True)
    serial = open_serial(torso.serial_path)
    request = sync_read([1, 2, 3, 4], PRESENT, 2)
    serial.quiet(0)
    start = time.monotonic()
    serial.send(request)
    assert split_status(serial.read(32)) == [status(i, steps(2048)) for i in (1, 2, 3, 4)]
    assert time.monotonic() - start >= (len(request) + 32) * 10e-6


# ---- fault switches -----------------------------------------------------------------------------


def test_a_silent_servo_answers_again_when_switched_back(torso, serial):
    torso.servo(6).set_silent(True)
    serial.send(instruction(6, PING))
    assert serial.quiet(0.05) == b""
    torso.servo(6).set_silent(False)
    assert serial.exchange(instruction(6, PING), 6) == status(6)


def test_a_servo_moved_to_another_bus_id_answers_there_only_until_moved_back(torso, serial):
    left_arm_yaw = torso.servo(2)
    left_arm_yaw.set_bus_id(12)
    assert left_arm_yaw.bus_id == 12
    assert serial.exchange(instruction(12, WRITE, bytes([TORQUE, 1])), 6) == status(12)
    for packet in (instruction(2, PING), instruction(2, WRITE, bytes([GOAL]) + steps(100)),
                   sync_write(GOAL, {2: steps(200)}), instruction(2, REBOOT)):
        serial.send(packet)
        assert serial.quiet(0.05) == b""
    assert left_arm_yaw.goal_position == 2048 and left_arm_yaw.torque_enabled  # not rebooted
    assert serial.exchange(instruction(12, PING), 6) == status(12)
    assert serial.exchange(instruction(12, READ, bytes([5, 1])), 7) == status(12, b"\x0c")  # id register
    assert serial.exchange(instruction(12, WRITE, bytes([GOAL]) + steps(300)), 6) == status(12)
    serial.send(sync_write(GOAL, {1: steps(400), 12: steps(500)}))
    assert [torso.servo(i).goal_position for i in (1, 2)] == [400, 500]
    assert split_status(serial.exchange(sync_read([1, 12, 3], VOLTAGE, 1), 21)) == [
        status(i, bytes([120])) for i in (1, 12, 3)]
    # The record names the joint that answered, on whichever id.
    assert [(r.servo_id, r.data[2]) for r in torso.servo_traffic() if r.source == "servo"][-3:] == [
        (1, 1), (2, 12), (3, 3)]
    # The id register survives a reboot, as a servo's stored settings do.
    assert serial.exchange(instruction(12, REBOOT), 6) == status(12)
    time.sleep(0.04)
    assert serial.exchange(instruction(12, PING), 6) == status(12)

    left_arm_yaw.set_bus_id(2)
    serial.send(instruction(12, PING))
    assert serial.quiet(0.05) == b""
    assert serial.exchange(instruction(2, READ, bytes([5, 1])), 7) == status(2, b"\x02")


def set_line_rate(fd: int, rate: int) -> None:
    iflag, oflag, cflag, lflag, line, cc, _, _ = TERMIOS2.unpack(fcntl.ioctl(fd, TCGETS2, bytes(TERMIOS2.size)))
    cflag = (cflag & ~(CBAUD | CBAUD << 16)) | BOTHER | BOTHER << 16
    fcntl.ioctl(fd, TCSETS2, TERMIOS2.pack(iflag, oflag, cflag, lflag, line, cc, rate, rate))


def test_a_servo_at_another_rate_answers_only_a_host_at_that_rate(torso, serial):
    torso.servo(3).set_baud_rate(115_200)
    assert torso.servo(3).state().baud_rate == 115_200
    for packet in (instruction(3, PING), instruction(3, WRITE, bytes([TORQUE, 1]))):
        serial.send(packet)
        assert serial.quiet(0.05) == b""
    assert not torso.servo(3).torque_enabled  # not heard either
    assert split_status(serial.exchange(sync_read([2, 3, 4], VOLTAGE, 1), 14, timeout=0.1)) == [
        status(i, bytes([120])) for i in (2, 4)]

    set_line_rate(serial.fd, 115_200)
    assert serial.exchange(instruction(3, PING), 6) == status(3)
    assert serial.exchange(instruction(3, READ, bytes([6, 1])), 7) == status(3, b"\x04")  # its register
    serial.send(instruction(2, PING))
    assert serial.quiet(0.05) == b""
    with pytest.raises(quillet_sim.TorsoError, match="no such servo baud rate"):
        torso.servo(3).set_baud_rate(9600)


def test_bus_ids_stay_unique_and_within_0_to_253(torso, serial):
    for bad in (-1, 254, 255):
        with pytest.raises(quillet_sim.TorsoError, match="bad bus id"):
            torso.servo(2).set_bus_id(bad)
    torso.servo(2).set_bus_id(0)
    torso.servo(3).set_bus_id(2)  # free once servo 2 left it
    with pytest.raises(quillet_sim.TorsoError, match="taken by servo 3"):
        torso.servo(2).set_bus_id(2)
    assert [torso.servo(i).bus_id for i in (1, 2, 3)] == [1, 0, 2]
    # Writing the id register would let two servos share an id: the bus leaves it, the owner
    # is refused, and a write that keeps it as it is goes through.
    assert serial.exchange(instruction(1, WRITE, bytes([5, 0])), 6) == status(1)
    with pytest.raises(quillet_sim.TorsoError, match="bus id of servo 1"):
        torso.servo(1).write(4, b"\x00\x07")
    torso.servo(1).write(5, b"\x01\x00")
    assert torso.servo(1).bus_id == 1


def test_only_the_next_reply_has_a_bad_checksum(torso, serial):
    torso.servo(2).corrupt_next_reply()
    bad = serial.exchange(instruction(2, PING), 6)
    assert bad[:-1] == status(2)[:-1] and bad[-1] != status(2)[-1]
    assert serial.exchange(instruction(2, PING), 6) == status(2)


def test_a_delayed_reply_misses_the_ten_millisecond_time_out(torso, serial):
    torso.servo(4).delay_next_reply(0.015)
    serial.send(instruction(4, PING))
    assert serial.read(6, timeout=0.010) == b""
    assert serial.read(6) == status(4)
    assert serial.exchange(instruction(4, PING), 6) == status(4)


def test_a_reply_delay_holds_back_the_servos_after_it(torso, serial):
    torso.servo(2).set_reply_delay(0.02)
    serial.send(sync_read([1, 2, 3], PRESENT, 2))
    assert serial.read(24, timeout=0.015) == status(1, steps(2048))
    assert split_status(serial.read(16)) == [status(2, steps(2048)), status(3, steps(2048))]
    assert torso.servo(2).state().reply_delay == pytest.approx(0.02)


def test_injected_garbage_reaches_the_host_as_is(torso, serial):
    torso.inject_serial_bytes(b"\x12\xff\x00garbage")
    assert serial.read(10) == b"\x12\xff\x00garbage"
    assert [(r.source, r.kind, r.data) for r in torso.servo_traffic()] == [("line", "garbage", b"\x12\xff\x00garbage")]


def test_a_continuous_byte_stream_keeps_coming_until_stopped(torso, serial):
    torso.set_serial_noise(8)
    for _ in range(3):  # input never stays quiet for 5 ms
        assert serial.read(1, timeout=0.005) != b""
        time.sleep(0.005)
    torso.set_serial_noise(0)
    time.sleep(0.01)
    noise = serial.quiet(0.02)
    assert b"\xff\xff" not in noise
    assert serial.quiet(0.02) == b""


def test_supply_voltage_low_rising_and_out_of_range(torso, serial):
    torso.servo(5).set_voltage(74)
    assert serial.exchange(instruction(5, READ, bytes([VOLTAGE, 1])), 7) == status(5, bytes([74]))
    torso.servo(5).set_voltage(30)  # below the servo's limit of 4.0 V: voltage error bit
    assert serial.exchange(instruction(5, PING), 6) == status(5, error=0x01)
    torso.ramp_supply_voltage(60, 120, 0.6)
    first = [torso.servo(i).voltage for i in range(1, 8)]
    time.sleep(0.2)
    second = [torso.servo(i).voltage for i in range(1, 8)]
    assert all(60 <= a < b for a, b in zip(first, second))
    time.sleep(0.45)
    serial.send(sync_read(list(range(1, 8)), VOLTAGE, 1))
    assert split_status(serial.quiet(0.05)) == [status(i, bytes([120])) for i in range(1, 8)]


def test_unplugged_the_device_goes_away_and_comes_back(make_torso, open_serial, tmp_path):
    link = str(tmp_path / "ttyQUILLET")
    torso = make_torso(motors=False, serial_link=link)
    assert torso.serial_path == link and os.path.islink(link)
    serial = open_serial(link)
    assert serial.exchange(instruction(1, PING), 6) == status(1)
    torso.unplug()
    assert not torso.plugged and not os.path.exists(link)
    with pytest.raises(OSError) as raised:
        os.write(serial.fd, instruction(1, PING))
    assert raised.value.errno == errno.EIO
    torso.plug_in()
    assert torso.plugged and os.path.islink(link)
    assert open_serial(link).exchange(instruction(7, PING), 6) == status(7)


def test_plugged_in_again_without_a_link_the_path_is_new_and_served(make_torso, open_serial):
    torso = make_torso(motors=False)
    old = torso.serial_path
    torso.unplug()
    assert torso.serial_path is None
    torso.plug_in()
    assert open_serial(torso.serial_path).exchange(instruction(1, PING), 6) == status(1)
    assert old is not None


# ---- the record and the host's own control --------------------------------------------------------


def test_the_record_holds_both_directions_in_line_order(torso, serial):
    ping = instruction(1, PING)
    bad = instruction(2, PING)[:-1] + b"\x00"
    serial.exchange(ping, 6)
    serial.send(b"\x42" + bad)
    serial.quiet(0.03)
    serial.exchange(sync_read([1, 2], VOLTAGE, 1), 14)
    assert [(r.source, r.servo_id, r.kind, r.data) for r in torso.servo_traffic()] == [
        ("host", None, "packet", ping),
        ("servo", 1, "reply", status(1)),
        ("host", None, "junk", b"\x42"),
        ("host", None, "bad_checksum", bad),
        ("host", None, "packet", sync_read([1, 2], VOLTAGE, 1)),
        ("servo", 1, "reply", status(1, b"\x78")),
        ("servo", 2, "reply", status(2, b"\x78")),
    ]
    times = [r.time for r in torso.servo_traffic()]
    assert times == sorted(times) and abs(times[-1] - time.monotonic()) < 5
    torso.clear_traffic()
    assert torso.servo_traffic() == []


def test_register_access_and_hand_moves_from_the_owner(torso, serial):
    servo = torso.servo(7)
    servo.write(21, b"\x10\x20\x30")
    assert servo.read(21, 3) == b"\x10\x20\x30"
    servo.set_position(-300)
    assert serial.exchange(instruction(7, READ, bytes([PRESENT, 2])), 8) == status(7, steps(-300))
    servo.write(PRESENT, steps(1234))
    assert servo.position == 1234 and servo.goal_position == 2048
    assert servo.read(250, 10) == bytes(6)  # the table ends at 255
