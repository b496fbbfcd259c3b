"""Repeated calls through the module neither keep references to their arguments nor let memory
grow: every path that builds or drops a Python object is balanced, the error paths included."""

import gc
import logging
import sys
import tracemalloc

import pytest

import quillet_motor_controller as qmc

Torso = qmc.QuilletTorsoPosition


def exercise(values, floats, position, target):
    qmc._convert("f64x3", values)
    qmc._convert("floats", floats)
    qmc._convert("torso", position)
    qmc._convert("opt_f32", floats[0])
    for kind, value in (("f64x2", values), ("u8", -1), ("bool", 1), ("u8list", "ab"),
                        ("fault", None)):
        try:
            qmc._convert(kind, value)
        except (TypeError, ValueError, OverflowError, SystemError):
            pass
    try:
        Torso(values, values, values, values)
    except SystemError:
        pass
    new = Torso(floats[:2], floats[:2], values, values)
    new.neck, new.left_arm, new.timestamp, repr(new)
    stats = qmc._stats(floats, floats, [])
    stats.period, repr(stats), stats.samples_since("period", 1), stats.sample_count("read_dt")
    try:
        stats.samples_since("periods", 0)
    except ValueError:
        pass
    qmc._log(3, target, "delivered")
    qmc._log(4, target, "filtered")
    try:
        qmc._log(3, target, "with a pending exception", KeyError("k"))
    except KeyError:
        pass


@pytest.mark.test_surface
def test_arguments_are_not_kept():
    values = [0.25, 0.5, 0.75]
    floats = [1.5, 2.5, 3.5]
    position = Torso([0.1, 0.2], [0.3, 0.4], [0.0] * 3, [0.0] * 3)
    logger = logging.getLogger("qmc_tests.refcounts")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.INFO)
    watched = [values, floats, position, *values, *floats, Torso, qmc.ControlLoopStats]
    exercise(values, floats, position, "qmc_tests::refcounts")
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(1000):
        exercise(values, floats, position, "qmc_tests::refcounts")
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


@pytest.mark.test_surface
def test_memory_does_not_grow_over_many_calls():
    values = [0.25, 0.5, 0.75]
    floats = [1.5, 2.5, 3.5]
    position = Torso([0.1, 0.2], [0.3, 0.4], [0.0] * 3, [0.0] * 3)
    logger = logging.getLogger("qmc_tests.memory")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.INFO)
    for _ in range(200):
        exercise(values, floats, position, "qmc_tests::memory")
    gc.collect()
    tracemalloc.start()
    try:
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(5000):
            exercise(values, floats, position, "qmc_tests::memory")
        gc.collect()
        last, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # 5000 rounds of about 30 calls: a leak of one small object per call would be megabytes.
    assert last - first < 64 * 1024
