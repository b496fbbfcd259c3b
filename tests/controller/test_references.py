"""The controller class leaks neither its arguments nor its results."""

import gc
import sys
import tracemalloc

import pytest

from quillet_motor_controller import QuilletMotorController


def assert_flat(cycle, watched, warm_up, rounds):
    """Runs `cycle` many times: the reference counts of `watched` and the memory stay as they were."""
    for _ in range(warm_up):
        cycle()
    before = [sys.getrefcount(o) for o in watched]
    gc.collect()
    tracemalloc.start()
    start, _ = tracemalloc.get_traced_memory()
    for _ in range(rounds):
        cycle()
    gc.collect()
    end, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == before
    assert end - start < 20_000


def test_repeated_calls_keep_reference_counts_and_memory_flat(torso, controller):
    goals = [0.1, 0.2]
    neck = (0.1, 0.2, 0.1)
    ids = [1, 2, 5]

    def cycle():
        controller.set_left_arm_position(goals)
        controller.read_all_positions()
        controller.set_neck_position(neck)
        controller.neck_position_limits()
        controller.enable_torque_on_ids(ids)
        with pytest.raises(RuntimeError):
            controller.set_neck_gains(7, 1.0, 1.0)
        with pytest.raises(TypeError):
            controller.enable_arms(1)

    assert_flat(cycle, (goals, neck, ids, goals[0], neck[1]), warm_up=20, rounds=300)


def test_errors_with_notes_and_with_blocks_leak_nothing(torso, controller):
    torso.servo(4).set_silent(True)

    def cycle():
        with pytest.raises(RuntimeError) as raised:
            controller.read_all_positions()
        assert raised.value.__notes__
        with QuilletMotorController(None, torso.can_interface) as other:
            other.neck_position_limits()
        with pytest.raises(RuntimeError):
            other.neck_position_limits()

    assert_flat(cycle, (controller,), warm_up=5, rounds=60)
