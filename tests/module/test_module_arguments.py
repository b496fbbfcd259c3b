"""Argument conversion shared by every method: one table of the rules across parameter kinds,
Python's own wording for argument-count errors, and the TypeError prefix with its cause."""

import datetime
import math
import re
import struct

import pytest

import quillet_motor_controller as qmc

Torso = qmc.QuilletTorsoPosition
LENGTH_ERROR = "Each arm must have 2 positions, nose must have 3, neck must have 3."


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


class HasFloat:
    def __float__(self):
        return 2.5


class HasIndex:
    def __index__(self):
        return 7


class LyingDelta(datetime.timedelta):
    """Its fields claim another duration: what it holds is read, not what it says."""
    days = property(lambda self: 5)
    seconds = property(lambda self: -1)


class RaisesInFloat:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


class FakeNumpyBool:
    """Stands for NumPy's boolean scalar: recognised by its type's module and name."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = "bool"


def torso():
    return Torso([0.1, 0.2], [0.3, 0.4], [0.0, 0.0, 0.0], [0.0, 0.1, -0.1])


ACCEPTED = [
    # (kind, value, result)
    ("f64", 1.5, 1.5),
    ("f64", 2, 2.0),
    ("f64", True, 1.0),
    ("f64", HasFloat(), 2.5),
    ("f64", HasIndex(), 7.0),
    ("f64", -0.0, -0.0),
    ("f32", 0.1, f32(0.1)),
    ("f32", 3, 3.0),
    ("f32", 1e40, math.inf),
    ("f32", -1e40, -math.inf),
    ("f32", 3.4028235677973362e38, 3.4028234663852886e38),  # below the midpoint: the largest
    ("f32", 3.4028235677973366e38, math.inf),  # the midpoint: to even, which is infinity
    ("u8", 0, 0),
    ("u8", 255, 255),
    ("u8", True, 1),
    ("u8", HasIndex(), 7),
    ("u16", 65535, 65535),
    ("u32", 4294967295, 4294967295),
    ("u64", 18446744073709551615, 18446744073709551615),
    ("bool", True, True),
    ("bool", False, False),
    ("bool", FakeNumpyBool(True), True),
    ("bool", FakeNumpyBool(False), False),
    ("str", "abc", "abc"),
    ("str", "", ""),
    ("str", "π → ±", "π → ±"),
    ("f64x2", [1, 2], [1.0, 2.0]),
    ("f64x2", (0.1, 0.2), [0.1, 0.2]),
    ("f64x2", range(2), [0.0, 1.0]),
    ("f64x3", [HasFloat(), 1, -0.5], [2.5, 1.0, -0.5]),
    ("f64x4", [0, 0, 0, 0], [0.0] * 4),
    ("f64x7", tuple(range(7)), [float(i) for i in range(7)]),
    ("floats", [], []),
    ("floats", (1, 2.5), [1.0, 2.5]),
    ("u8list", [2, 9], [2, 9]),
    ("u8list", (), []),
    ("u8list", b"\x01\x02", [1, 2]),
    ("bytes", b"\x00\xff", b"\x00\xff"),
    ("bytes", b"", b""),
    ("duration", datetime.timedelta(milliseconds=10), (0, 10_000_000)),
    ("duration", datetime.timedelta(days=1, seconds=2, microseconds=3), (86402, 3000)),
    ("duration", datetime.timedelta(0), (0, 0)),
    ("duration", datetime.timedelta(days=999999999), (999999999 * 86400, 0)),
    ("duration", LyingDelta(milliseconds=10), (0, 10_000_000)),
    ("opt_str", None, None),
    ("opt_str", "can1", "can1"),
    ("opt_f32", None, None),
    ("opt_f32", 0.1, f32(0.1)),
    ("opt_duration", None, None),
    ("opt_duration", datetime.timedelta(seconds=30), (30, 0)),
]


@pytest.mark.test_surface
@pytest.mark.parametrize(("kind", "value", "expected"), ACCEPTED)
def test_accepted_values_convert(kind, value, expected):
    result = qmc._convert(kind, value)
    assert result == expected
    assert type(result) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1.0, result) == math.copysign(1.0, expected)


REFUSED = [
    # (kind, value, exception type, exact message or None, prefixed TypeError)
    ("f64", "1.0", TypeError, "argument 'value': must be real number, not str", True),
    ("f64", None, TypeError, "argument 'value': must be real number, not NoneType", True),
    ("f64", [1.0], TypeError, None, True),
    ("f64", RaisesInFloat(), ZeroDivisionError, "from __float__", False),
    ("f32", "x", TypeError, None, True),
    ("u8", 256, OverflowError, None, False),
    ("u8", -1, OverflowError, None, False),
    ("u8", 1.0, TypeError, "argument 'value': 'float' object cannot be interpreted as an integer", True),
    ("u8", "1", TypeError, None, True),
    ("u16", 65536, OverflowError, None, False),
    ("u32", 4294967296, OverflowError, None, False),
    ("u32", -1, OverflowError, None, False),
    ("u64", 18446744073709551616, OverflowError, None, False),
    ("u64", -1, OverflowError, None, False),
    ("bool", 1, TypeError, "argument 'value': 'int' object cannot be converted to 'PyBool'", True),
    ("bool", 0, TypeError, None, True),
    ("bool", None, TypeError, None, True),
    ("bool", "True", TypeError, None, True),
    ("str", b"abc", TypeError, None, True),
    ("str", None, TypeError, "argument 'value': 'NoneType' object cannot be converted to 'PyString'", True),
    ("f64x2", [1.0, 2.0, 3.0], ValueError, "expected a sequence of length 2 (got 3)", False),
    ("f64x2", [0.1], ValueError, "expected a sequence of length 2 (got 1)", False),
    ("f64x3", [], ValueError, "expected a sequence of length 3 (got 0)", False),
    ("f64x7", [0.0] * 6, ValueError, "expected a sequence of length 7 (got 6)", False),
    ("f64x2", 5, TypeError, "argument 'value': 'int' object cannot be converted to 'Sequence'", True),
    ("f64x2", {"a": 1, "b": 2}, TypeError, None, True),
    ("f64x2", [1.0, "a"], TypeError, "argument 'value': must be real number, not str", True),
    ("f64x2", "ab", TypeError, "argument 'value': must be real number, not str", True),
    ("floats", "abc", TypeError, "argument 'value': Can't extract `str` to `Vec`", True),
    ("floats", (x for x in [1.0]), TypeError, None, True),
    ("u8list", "abc", TypeError, "argument 'value': Can't extract `str` to `Vec`", True),
    ("u8list", 5, TypeError, None, True),
    ("u8list", [300], OverflowError, None, False),
    ("u8list", [-1], OverflowError, None, False),
    ("u8list", [1.5], TypeError, None, True),
    ("bytes", bytearray(b"ab"), TypeError, "argument 'value': 'bytearray' object cannot be converted to 'PyBytes'", True),
    ("bytes", "ab", TypeError, None, True),
    ("bytes", [1, 2], TypeError, None, True),
    ("duration", 0.5, TypeError, "argument 'value': 'float' object cannot be converted to 'PyDelta'", True),
    ("duration", 1, TypeError, None, True),
    ("duration", None, TypeError, None, True),
    ("duration", datetime.timedelta(microseconds=-1), ValueError, None, False),
    ("opt_str", 1, TypeError, None, True),
    ("opt_f32", "x", TypeError, None, True),
    ("opt_duration", 0.01, TypeError, None, True),
    ("torso", [0.0] * 7, TypeError, "argument 'value': 'list' object cannot be converted to 'QuilletTorsoPosition'", True),
    ("torso", None, TypeError, None, True),
]


@pytest.mark.test_surface
@pytest.mark.parametrize(("kind", "value", "error", "message", "prefixed"), REFUSED)
def test_refused_values_raise(kind, value, error, message, prefixed):
    with pytest.raises(error) as info:
        qmc._convert(kind, value)
    raised = info.value
    assert type(raised) is error
    if message is not None:
        assert str(raised) == message
    if prefixed:
        assert str(raised).startswith("argument 'value': ")
        cause = raised.__cause__
        assert type(cause) is TypeError
        assert str(raised) == "argument 'value': " + str(cause)
    else:
        assert not str(raised).startswith("argument ")
        assert raised.__cause__ is None


@pytest.mark.test_surface
def test_numpy_bool_scalar_is_a_bool_and_numpy_int_is_not():
    np = pytest.importorskip("numpy")
    assert qmc._convert("bool", np.True_) is True
    assert qmc._convert("bool", np.bool_(False)) is False
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        qmc._convert("bool", np.int64(1))
    # NumPy arrays are sequences; NumPy scalars are floats and indexes.
    assert qmc._convert("f64x3", np.array([1.0, 2.0, 3.0])) == [1.0, 2.0, 3.0]
    assert qmc._convert("u8", np.uint8(200)) == 200


@pytest.mark.test_surface
def test_record_argument_is_copied():
    position = torso()
    copy = qmc._convert("torso", position)
    assert copy is not position
    assert repr(copy) == repr(position)


def test_record_constructor_converts_each_sequence_and_checks_lengths():
    with pytest.raises(TypeError) as info:
        Torso([0.0, 0.0], "ab", [0.0] * 3, [0.0] * 3)
    assert str(info.value) == "argument 'right_arm': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError, match=r"^argument 'neck': must be real number, not str$"):
        Torso([0.0, 0.0], [0.0, 0.0], [0.0] * 3, [0.0, "x", 0.0])
    for arguments in (
        ([0.0] * 3, [0.0] * 2, [0.0] * 3, [0.0] * 3),
        ([0.0] * 2, [0.0] * 2, [0.0] * 3, [0.0] * 2),
        ([0.0] * 2, [0.0] * 2, [], [0.0] * 3),
    ):
        with pytest.raises(SystemError) as info:
            Torso(*arguments)
        assert str(info.value) == LENGTH_ERROR


class ReferenceTorso:
    """The same parameters as a Python class: Python's own argument-count messages."""

    def __new__(cls, left_arm, right_arm, nose, neck):
        raise AssertionError("only argument errors are compared")


ReferenceTorso.__name__ = ReferenceTorso.__qualname__ = "QuilletTorsoPosition"
ReferenceTorso.__new__.__qualname__ = "QuilletTorsoPosition.__new__"


def _convert(kind, value):
    raise AssertionError("only argument errors are compared")


def _log(level, target, message, pending=None):
    raise AssertionError("only argument errors are compared")


A2, A3 = [0.0, 0.0], [0.0, 0.0, 0.0]
# Absent from a module built without its test surface; the cases using them skip then.
NATIVE_CONVERT = getattr(qmc, "_convert", None)
NATIVE_LOG = getattr(qmc, "_log", None)
CALL_SHAPES = [
    # (native, Python reference, args, kwargs)
    (Torso, ReferenceTorso, (), {}),
    (Torso, ReferenceTorso, (A2,), {}),
    (Torso, ReferenceTorso, (A2, A2), {}),
    (Torso, ReferenceTorso, (A2, A2, A3), {}),
    (Torso, ReferenceTorso, (A2, A2, A3, A3, A3), {}),
    (Torso, ReferenceTorso, (A2, A2, A3, A3), {"left_arm": A2}),
    (Torso, ReferenceTorso, (A2, A2, A3, A3), {"elbow": A2}),
    (Torso, ReferenceTorso, (), {"nose": A3, "neck": A3}),
    pytest.param(NATIVE_CONVERT, _convert, (), {}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_CONVERT, _convert, ("f64",), {}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_CONVERT, _convert, ("f64", 1.0, 2.0), {}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_CONVERT, _convert, ("f64",), {"kind": "f64", "value": 1.0}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_CONVERT, _convert, ("f64", 1.0), {"other": 1}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_LOG, _log, (1, "a::b", "m", None, 5), {}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_LOG, _log, (1,), {}, marks=pytest.mark.test_surface),
    pytest.param(NATIVE_LOG, _log, (), {"message": "m"}, marks=pytest.mark.test_surface),
]


@pytest.mark.parametrize(("native", "reference", "args", "kwargs"), CALL_SHAPES)
def test_argument_count_errors_use_pythons_wording(native, reference, args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        native(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


@pytest.mark.test_surface
def test_parameters_are_accepted_positionally_or_by_keyword():
    by_keyword = Torso(neck=[0.0, 0.1, -0.1], nose=A3, right_arm=[0.3, 0.4], left_arm=[0.1, 0.2])
    assert by_keyword.left_arm == [0.1, 0.2]
    assert by_keyword.neck == [0.0, 0.1, -0.1]
    assert qmc._convert(value=[1, 2], kind="f64x2") == [1.0, 2.0]
    assert qmc._convert("u8", value=3) == 3


def test_conversion_stops_at_the_first_bad_argument():
    # The second argument is refused before the third is looked at (which would raise otherwise).
    with pytest.raises(TypeError, match=r"^argument 'right_arm': "):
        Torso(A2, 5, RaisesInFloat(), A3)


@pytest.mark.test_surface
def test_internal_fault_becomes_an_exception_with_its_text():
    with pytest.raises(SystemError, match=re.escape("broken invariant")):
        qmc._convert("fault", None)
    # and the interpreter carries on
    assert qmc._convert("u8", 1) == 1


@pytest.mark.parametrize("construct, argument", [
    (lambda: qmc.QuilletMotorController("/dev/null\0/dev/ttyUSB0"), "serialport"),
    (lambda: qmc.QuilletMotorController(None, "vcan0\0junk"), "can_bus"),
    (lambda: qmc.QuilletPyControlLoop("/dev/null\0junk", datetime.timedelta(milliseconds=10)), "serialport"),
    (lambda: qmc.QuilletPyControlLoop(None, datetime.timedelta(milliseconds=10), can_bus="x\0"), "can_bus"),
])
def test_a_nul_in_a_device_or_interface_name_is_refused_before_anything_is_opened(construct, argument):
    """The name was cut at the NUL, and the controller opened and drove that other device."""
    with pytest.raises(ValueError, match=rf"^argument '{argument}': embedded null character$"):
        construct()


class LyingLength:
    """Says it holds 2**62 items."""

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return 1


class Endless:
    """Says it holds 2 items, and never stops yielding."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return 1


def test_a_sequence_longer_than_any_argument_is_refused_naming_it(torso):
    """Its __len__ went to vector::reserve: SystemError "vector::reserve", or MemoryError, or an abort."""
    with pytest.raises(ValueError, match=r"^argument 'left_arm': "):
        Torso(range(2**61), A2, A3, A3)
    with pytest.raises(ValueError, match=r"^argument 'nose': "):
        Torso(A2, A2, Endless(), A3)
    neck_only = qmc.QuilletMotorController(None, torso.can_interface)
    for ids in (range(2**62), LyingLength(), Endless()):
        with pytest.raises(ValueError, match=r"^argument 'ids': "):
            neck_only.enable_torque_on_ids(ids)
