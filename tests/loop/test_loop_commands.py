"""A running QuilletPyControlLoop on the virtual torso: queued commands and what crossed the bus,
retries, stored failures, raw access and statistics."""

import logging
import math
import threading
import time
from datetime import timedelta

import pytest

from quillet_motor_controller import QuilletTorsoPosition

SYNC_WRITE, READ, WRITE = 0x83, 0x02, 0x03
GOAL = 42
MS = timedelta(milliseconds=1)


def steps(radians):
    return int(((radians + math.pi) * 4096) / (2 * math.pi))


def radians(step):
    """The middle of a step, so that it converts back to that step."""
    return (step + 0.5) * 2 * math.pi / 4096 - math.pi


def goal_writes(packets):
    """(ids, goal steps) of every sync write of goal positions, in bus order."""
    out = []
    for p in packets:
        if p[4] == SYNC_WRITE and p[5] == GOAL:
            body = p[7:-1]
            ids = tuple(body[0::3])
            values = tuple(int.from_bytes(body[i + 1:i + 3], "little", signed=True) for i in range(0, len(body), 3))
            out.append((ids, values))
    return out


def test_commands_from_several_threads_keep_each_threads_order(torso, start_loop, host_packets):
    loop = start_loop(period=2 * MS)
    count = 60  # four threads: more than the queue holds, so some wait for room
    plans = {
        (1, 2): lambda v: loop.set_left_arm_position([v, v]),
        (3, 4): lambda v: loop.set_right_arm_position([v, v]),
        (5, 6, 7): lambda v: loop.set_nose_position([v, v, v]),
        (1, 2, 3, 4): lambda v: loop.set_arms_position([v] * 4),
    }

    def drive(send):
        for i in range(count):
            send(radians(2048 + i))

    threads = [threading.Thread(target=drive, args=(send,)) for send in plans.values()]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    loop.close()  # executes what is still queued
    writes = goal_writes(host_packets())
    for ids in plans:
        sent = [values[0] for written_ids, values in writes if written_ids == ids]
        assert sent == [2048 + i for i in range(count)], ids


def test_set_all_goal_positions_moves_the_servos_only(torso, start_loop, host_packets, client_frames):
    loop = start_loop()
    torso.clear_traffic()
    record = QuilletTorsoPosition([radians(2100), radians(2101)], [radians(2102), radians(2103)],
                                  [radians(2104), radians(2105), radians(2106)], [0.4, 0.4, 0.4])
    loop.set_all_goal_positions(record)
    loop.close()
    assert goal_writes(host_packets()) == [((1, 2, 3, 4), (2100, 2101, 2102, 2103)), ((5, 6, 7), (2104, 2105, 2106))]
    assert all(can_id == 0x7FF for can_id, _ in client_frames())  # feedback requests, no command
    with pytest.raises(TypeError):
        loop.set_all_goal_positions([0.0] * 7)


def test_neck_commands_and_torque_state(torso, start_loop, client_frames, eventually):
    loop = start_loop()
    assert loop.is_torque_enabled() is False
    loop.enable_neck(True)
    loop.set_neck_yaw_position(2.0)  # clamped to 0.5 on the loop thread
    assert eventually(lambda: abs(loop.get_last_position().neck[0] - 0.5) < 0.01)
    assert torso.motor(1).state().last_command.position == pytest.approx(0.5, abs=1e-3)
    loop.enable_torque_on_ids([5, 6])
    assert eventually(lambda: loop.is_torque_enabled() is True)  # the requested state, not a read
    assert torso.servo(5).torque_enabled and not torso.servo(1).torque_enabled
    loop.disable_torque()
    assert eventually(lambda: loop.is_torque_enabled() is False)


def test_a_servo_silent_for_a_moment_is_ridden_through(torso, start_loop, caplog, eventually):
    loop = start_loop(period=20 * MS)
    torso.servo(3).set_silent(True)
    time.sleep(0.03)
    torso.servo(3).set_silent(False)
    assert eventually(lambda: any(m.startswith("Serial I/O recovered after ") for _, _, m in caplog.record_tuples))
    recovered = [m for _, _, m in caplog.record_tuples if m.startswith("Serial I/O recovered")]
    assert all(m.endswith(" retries") for m in recovered)
    assert loop.get_last_position() is not None


def test_a_failed_read_is_stored_then_replaced(torso, start_loop, eventually, read_failed):
    loop = start_loop(allowed_retries=1)
    torso.motor(3).set_silent(True)  # neck reads are never retried
    assert eventually(lambda: read_failed(loop))
    torso.motor(3).set_silent(False)
    assert eventually(lambda: not read_failed(loop))


def test_raw_access_and_pid_gains(torso, start_loop, host_packets):
    loop = start_loop()
    torso.servo(5).write(21, bytes([32, 16, 8]))  # P, D, I
    assert loop.async_read_raw_bytes(5, 21, 3) == bytes([32, 16, 8])
    assert loop.async_read_pid_gains(5) == (32, 8, 16)
    loop.async_write_pid_gains(5, 255, 0, 10)
    assert loop.async_read_pid_gains(5) == (255, 0, 10)
    assert torso.servo(5).read(21, 3) == bytes([255, 10, 0])
    # A gain over one byte would be cut to its low byte: refused, nothing queued.
    before = len(host_packets())
    with pytest.raises(OverflowError, match=r"^argument 'p': "):
        loop.async_write_pid_gains(5, 300, 0, 10)
    with pytest.raises(OverflowError, match=r"^argument 'd': "):
        loop.async_write_pid_gains(5, 1, 0, 256)
    loop.async_write_raw_bytes(5, 21, [1, 2, 3])
    assert loop.async_read_raw_bytes(5, 21, 3) == bytes([1, 2, 3])
    writes = [p for p in host_packets()[before:] if p[4] == WRITE]
    assert len(writes) == 1
    ping = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])
    assert loop.write_raw_packet(ping) == bytes([0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC])
    assert loop.write_raw_packet(b"") == b""


def test_raw_read_gives_up_after_a_second_while_the_loop_is_busy(torso, start_loop, host_packets, eventually):
    loop = start_loop(period=timedelta(seconds=1))
    torso.motor(1).set_silent(True)
    for _ in range(80):
        loop.set_neck_yaw_position(0.0)  # each waits 20 ms for a reply that never comes
    begin = time.monotonic()
    with pytest.raises(RuntimeError) as raised:
        loop.async_read_raw_bytes(2, 56, 2)
    assert str(raised.value) == ("Failed to read raw bytes: Motor communication error! "
                                 "Check connections and power supply.")
    assert raised.value.__notes__ == ["reading 2 bytes at register 56 of servo 2: no answer from the control "
                                      "loop within 1s"]
    assert 1.0 <= time.monotonic() - begin < 2.0
    torso.motor(1).set_silent(False)
    # Still executed later, in its turn.
    assert eventually(lambda: any(p[4] == READ and p[2] == 2 for p in host_packets()), timeout=10)
    assert loop.async_read_raw_bytes(2, 56, 2) is not None


def test_statistics(torso, start_loop, eventually):
    assert start_loop(serial=False).get_stats() is None
    loop = start_loop(period=5 * MS, stats_pub_period=50 * MS)
    loop.set_neck_yaw_position(0.1)
    assert eventually(lambda: len(loop.get_stats().write_dt) == 1)
    stats = loop.get_stats()
    assert len(stats.period) >= len(stats.read_dt) >= 1
    assert all(0 <= dt < 1 for dt in stats.period + stats.read_dt + stats.write_dt)
    assert repr(stats).startswith("ControlLoopStats(period=~")
    loop.close()
    final = loop.get_stats()
    assert len(final.period) >= len(stats.period)  # still readable after close


def test_a_period_of_centuries_means_no_further_tick(torso, start_loop, host_packets, eventually):
    """start + period * k overflowed: every tick was overdue and the loop read without pause."""
    loop = start_loop(period=timedelta.max)
    time.sleep(0.1)  # tick 0, due at once
    torso.clear_traffic()
    time.sleep(0.5)
    assert [p for p in host_packets() if p[4] == 0x82] == []
    loop.set_nose_position([radians(2100)] * 3)  # commands still run, and close does not wait for a tick
    loop.close()
    assert goal_writes(host_packets()) == [((5, 6, 7), (2100, 2100, 2100))]


def test_a_command_that_fails_on_the_loop_thread_is_logged(start_loop, caplog, eventually):
    """It vanished without a record: a torque-off that failed under noise went unnoticed."""
    loop = start_loop(serial=False)  # every servo command fails here
    loop.disable_torque()
    loop.enable_torque_on_ids([1, 5])
    loop.close()
    failures = [r for r in caplog.record_tuples if r[0] == "quillet_motor_controller.control_loop" and r[1] == logging.WARNING]
    assert failures == [
        ("quillet_motor_controller.control_loop", logging.WARNING,
         f"{name} failed: serial port not configured (neck-only controller)")
        for name in ("disable_torque", "enable_torque_on_ids")]


def test_reading_statistics_bit_by_bit_gives_every_sample_once_in_order(torso, start_loop):
    # As fast as the torso answers, until the samples fill more than two storage blocks of 4096.
    loop = start_loop(period=timedelta(microseconds=1), stats_pub_period=7 * MS)
    kinds = ("period", "read_dt", "write_dt")
    seen = {kind: [] for kind in kinds}
    copies = []
    end = time.monotonic() + 60
    while len(seen["read_dt"]) < 2 * 4096 + 100 and time.monotonic() < end:
        loop.set_neck_yaw_position(0.01)
        stats = loop.get_stats()
        copies.append(stats)
        for kind in kinds:
            seen[kind] += stats.samples_since(kind, len(seen[kind]))
            assert len(seen[kind]) == stats.sample_count(kind)
        time.sleep(0.003)
    loop.close()
    final = loop.get_stats()
    for kind in kinds:
        seen[kind] += final.samples_since(kind, len(seen[kind]))  # published until the loop ended
        assert seen[kind] == getattr(final, kind)
    assert len(seen["read_dt"]) > 2 * 4096 and len(seen["write_dt"]) > 10
    # Each copy kept what it held when it was taken.
    assert copies[0].period == seen["period"][:copies[0].sample_count("period")]
