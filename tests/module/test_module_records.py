"""QuilletTorsoPosition and ControlLoopStats: attributes, constructor and representations."""

import re
import time

import pytest

import quillet_motor_controller as qmc

Torso = qmc.QuilletTorsoPosition


def example():
    return Torso([0.1, 0.2], [0.3, 0.4], [0.0, 0.0, 0.0], [0.0, 0.1, -0.1])


def test_record_has_its_values_and_a_wall_clock_timestamp():
    before = time.time()
    position = example()
    after = time.time()
    assert position.left_arm == [0.1, 0.2]
    assert position.right_arm == [0.3, 0.4]
    assert position.nose == [0.0, 0.0, 0.0]
    assert position.neck == [0.0, 0.1, -0.1]
    assert isinstance(position.timestamp, float)
    assert before - 0.01 <= position.timestamp <= after + 0.01


def test_representation_of_the_example_record():
    text = repr(example())
    prefix = (
        "QuilletTorsoPosition(left_arm=[0.1, 0.2], right_arm=[0.3, 0.4], nose=[0.0, 0.0, 0.0], "
        "neck=[0.0, 0.1, -0.1], timestamp="
    )
    assert text.startswith(prefix)
    assert re.fullmatch(r"\d+\.\d{3}\)", text[len(prefix):])
    assert str(example()).startswith(prefix)


def test_representation_writes_shortest_round_trip_floats_with_the_exponent_rule():
    position = Torso([1e-5, -0.0], [2.5e-7, 1e16], [0.0001, 1.0, -0.25], [9999999999999998.0, 1 / 3, 5])
    text = repr(position)
    assert text.startswith(
        "QuilletTorsoPosition(left_arm=[1e-5, -0.0], right_arm=[2.5e-7, 1e16], "
        "nose=[0.0001, 1.0, -0.25], neck=[9999999999999998.0, 0.3333333333333333, 5.0], timestamp="
    )


def test_attributes_return_fresh_lists():
    position = example()
    neck = position.neck
    neck.append(1.0)
    neck[0] = 9.0
    assert position.neck == [0.0, 0.1, -0.1]
    assert position.neck is not position.neck


def test_attributes_cannot_be_assigned_or_added():
    position = example()
    for name in ("left_arm", "right_arm", "nose", "neck", "timestamp"):
        with pytest.raises(AttributeError):
            setattr(position, name, [0.0])
        with pytest.raises(AttributeError):
            delattr(position, name)
    with pytest.raises(AttributeError):
        position.extra = 1


def test_attribute_documentation():
    assert Torso.neck.__doc__ == "Neck joint positions in rad: [yaw, pitch, roll]."
    for name in ("left_arm", "right_arm", "nose", "timestamp"):
        assert getattr(Torso, name).__doc__ is None


def stats(period, read_dt, write_dt):
    return qmc._stats(period, read_dt, write_dt)


@pytest.mark.test_surface
def test_stats_representation_uses_two_decimal_means_and_nan_for_no_samples():
    record = stats([0.009, 0.011], [0.001, 0.0015], [])
    assert repr(record) == "ControlLoopStats(period=~10.00ms, read_dt=~1.25 ms, write_dt=~NaN ms)"
    assert repr(stats([], [], [])) == (
        "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)"
    )
    assert repr(stats([0.010, 0.012], [0.0], [0.5])) == (
        "ControlLoopStats(period=~11.00ms, read_dt=~0.00 ms, write_dt=~500.00 ms)"
    )


@pytest.mark.test_surface
def test_stats_attributes_are_fresh_lists_and_read_only():
    record = stats([0.01, 0.02], [0.001], [])
    period = record.period
    period.clear()
    assert record.period == [0.01, 0.02]
    assert record.read_dt == [0.001]
    assert record.write_dt == []
    for name in ("period", "read_dt", "write_dt"):
        with pytest.raises(AttributeError):
            setattr(record, name, [])


def test_stats_cannot_be_constructed_from_python():
    with pytest.raises(TypeError):
        qmc.ControlLoopStats()
    with pytest.raises(TypeError):
        qmc.ControlLoopStats([], [], [])


@pytest.mark.test_surface
def test_stats_mean_of_one_sample_is_exact():
    assert repr(stats([0.0125], [0.002], [-0.001])) == (
        "ControlLoopStats(period=~12.50ms, read_dt=~2.00 ms, write_dt=~-1.00 ms)"
    )


@pytest.mark.test_surface
def test_stats_read_from_an_index_on():
    period = [i / 1e6 for i in range(1, 4097)]
    record = stats(period, [0.5], [])
    assert record.period == period
    assert [record.sample_count(f) for f in ("period", "read_dt", "write_dt")] == [4096, 1, 0]
    for start in (0, 1, 4095):
        assert record.samples_since("period", start) == period[start:]
    assert record.samples_since("period", 4096) == [] == record.samples_since(field="write_dt", start=7)
    assert record.samples_since("read_dt", 0) == [0.5]
    with pytest.raises(ValueError, match=r"^argument 'field': must be one of 'period', 'read_dt', "
                                         r"'write_dt', not 'periods'$"):
        record.samples_since("periods", 0)
    with pytest.raises(OverflowError):
        record.samples_since("period", -1)
    with pytest.raises(TypeError):
        record.sample_count(0)
