"""Every fault of the virtual torso on a running QuilletPyControlLoop, while Python threads queue
commands, wait for replies and read positions. The cases and their harness are those of
bench/faults/fault_matrix.py, which prints them as a table."""

from __future__ import annotations

import logging
import sys
import time
from datetime import timedelta
from pathlib import Path

import pytest

quillet_sim = pytest.importorskip("quillet_sim")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench" / "faults"))
from fault_matrix import FAILURE, FAULTS, LOOP_LOGGER, Fault, run_case  # noqa: E402

from quillet_motor_controller import QuilletPyControlLoop  # noqa: E402

# The bridge takes a logger's level at its first record: let the recovery records through.
logging.getLogger(LOOP_LOGGER).setLevel(logging.DEBUG)

HANG = 2.0  # s: a close that takes longer than this has hung (one read with its retries is ~0.2 s)


@pytest.fixture
def torso(tmp_path):
    with quillet_sim.VirtualTorso(serial_link=str(tmp_path / "ttyQUILLET")) as torso:
        yield torso


@pytest.mark.parametrize("fault", FAULTS, ids=[f.name for f in FAULTS])
def test_the_loop_rides_through_the_fault(torso, fault: Fault):
    outcome = run_case(torso, fault)

    # The thread kept reading through the fault, and reported it when it hid positions. (A fault
    # that hides none may still meet a 20 ms reply wait that a busy machine overruns.)
    assert outcome.ticks_during_fault > 0
    if fault.reads_fail:
        assert outcome.errors_seen == [FAILURE]
    else:
        # Under the flood, the torso answers thousands of commands a second and may fall behind.
        assert outcome.fresh_during_fault or fault.flood
        assert outcome.errors_seen in ([], [FAILURE])
    if fault.same_loop_recovers:
        assert outcome.recovery_s is not None, "no fresh position after the fault was removed"
    else:
        assert outcome.fails_after_removal
        assert outcome.new_loop_s is not None
    assert outcome.close_s < HANG

    # Every accepted command ran: the neck commands all reached the bus, and each queueing
    # thread ended on one, so the nose commands queued before them ran too. Where the servo
    # line carried them, they are all there.
    assert outcome.roll_accepted > 0
    assert outcome.roll_on_bus == outcome.roll_accepted
    if fault.name not in ("byte stream on the line", "serial unplugged", "garbage on the line"):
        assert outcome.nose_on_line == outcome.nose_accepted
    assert outcome.answered + outcome.refused > 0
    assert outcome.left_waiting == 0

    assert outcome.fds_back
    assert outcome.threads_back


def test_one_late_servo_reply_is_read_by_the_retry(torso):
    fault = next(f for f in FAULTS if f.name == "one reply past time-out")
    assert run_case(torso, fault).recovery_logs >= 1


def wait_for_next_read(loop, after: float, timeout: float = 3.0):
    """The first read (a position or a failure) that ends after the wall-clock time `after`."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            position = loop.get_last_position()
            if position.timestamp > after:
                return position
        except RuntimeError:
            pass
        time.sleep(0.002)
    raise AssertionError("no read")


def test_a_late_motor_reply_is_not_the_answer_to_the_next_request(torso):
    # Before, the late reply stayed queued and the next request to that motor took it for its
    # answer: the next reading of the neck's yaw was one period old.
    loop = QuilletPyControlLoop(torso.serial_path, timedelta(milliseconds=400), can_bus=torso.can_interface)
    try:
        torso.motor(1).set_position(0.5)
        moved = time.time()
        wait_for_next_read(loop, moved)  # may have been under way already
        assert wait_for_next_read(loop, moved + 0.2).neck[0] == pytest.approx(0.5, abs=1e-3)

        torso.motor(1).delay_next_reply(0.1)  # its next reply comes well after the 20 ms wait
        deadline = time.monotonic() + 3.0
        while True:  # so that read fails
            try:
                loop.get_last_position()
            except RuntimeError as error:
                assert str(error) == FAILURE
                break
            assert time.monotonic() < deadline
            time.sleep(0.002)

        time.sleep(0.15)  # the late reply is out, the next read is 0.2 s away
        torso.motor(1).set_position(-0.25)
        assert wait_for_next_read(loop, time.time()).neck[0] == pytest.approx(-0.25, abs=1e-3)
    finally:
        loop.close()
