"""Importing the module: one module object per process, its registered classes and their shared
properties."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import quillet_motor_controller as qmc

REGISTRATION_ORDER = [
    "QuilletMotorController",
    "QuilletPyControlLoop",
    "QuilletTorsoPosition",
    "ControlLoopStats",
]
CLASS_SIGNATURES = {
    "QuilletMotorController": "(serialport=None, can_bus=...)",
    "QuilletPyControlLoop": "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
    "stats_pub_period=None, voltage_rampup_timeout=...)",
    "QuilletTorsoPosition": "(left_arm, right_arm, nose, neck)",
}


def registered():
    return [name for name in REGISTRATION_ORDER if hasattr(qmc, name)]


def test_second_import_and_reload_give_the_same_module():
    again = importlib.import_module("quillet_motor_controller")
    assert again is qmc
    assert importlib.reload(qmc) is qmc
    assert sys.modules["quillet_motor_controller"] is qmc


def test_module_docstring_is_empty_and_all_lists_the_classes_in_registration_order():
    assert qmc.__doc__ == ""
    assert qmc.__all__ == registered()
    assert "QuilletTorsoPosition" in qmc.__all__
    assert "ControlLoopStats" in qmc.__all__


def test_module_has_no_public_names_but_its_classes():
    public = {name for name in vars(qmc) if not name.startswith("_")}
    assert public == set(qmc.__all__)


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, env=env)


def test_second_interpreter_is_refused():
    result = run_python(
        """
        import sys, _interpreters
        import quillet_motor_controller
        code = "\\n".join([
            "import sys",
            f"sys.path[:0] = {sys.path!r}",
            "try:",
            "    import quillet_motor_controller",
            "except ImportError:",
            "    print('refused')",
            "else:",
            "    print('imported')",
        ])
        for config in ("isolated", "legacy"):
            interpreter = _interpreters.create(config)
            _interpreters.run_string(interpreter, code)
            _interpreters.destroy(interpreter)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["refused", "refused"]


def test_reimport_after_removal_from_sys_modules_gives_the_cached_module():
    result = run_python(
        """
        import sys
        import quillet_motor_controller as first
        del sys.modules["quillet_motor_controller"]
        import quillet_motor_controller as second
        print(first is second, first.__all__ == second.__all__, len(second.__all__))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[:2] == ["True", "True"]


@pytest.fixture(params=REGISTRATION_ORDER)
def cls(request):
    if not hasattr(qmc, request.param):
        pytest.skip(f"{request.param} is not registered yet")
    return getattr(qmc, request.param)


def test_class_names_module_and_representation(cls):
    assert cls.__name__ == cls.__qualname__
    assert "." not in cls.__name__
    assert cls.__module__ == "quillet_motor_controller"
    assert repr(cls) == f"<class 'quillet_motor_controller.{cls.__name__}'>"
    assert cls.__bases__ == (object,)


def test_classes_are_immutable_and_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_class_docstring_is_only_the_constructor_signature(cls):
    expected = CLASS_SIGNATURES.get(cls.__name__)
    if expected is None:
        assert cls.__text_signature__ is None
        return
    assert cls.__text_signature__ == expected
    assert cls.__doc__ == ""
    assert str(inspect.signature(cls)) == expected.replace("=...", "=Ellipsis")


def methods_of(cls):
    return {name: value for name, value in vars(cls).items()
            if not name.startswith("__") and inspect.ismethoddescriptor(value)
            and not inspect.isdatadescriptor(value)}


def test_every_method_has_a_text_signature_with_self(cls):
    for name, method in methods_of(cls).items():
        signature = method.__text_signature__
        assert signature is not None, name
        assert signature == "($self)" or signature.startswith("($self, "), (name, signature)
        parameters = list(inspect.signature(method).parameters.values())
        assert parameters[0].name == "self"
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters[1:]), name


@pytest.mark.test_surface
def test_instances_have_no_dict_and_no_weak_references():
    position = qmc.QuilletTorsoPosition([0.0] * 2, [0.0] * 2, [0.0] * 3, [0.0] * 3)
    stats = qmc._stats([], [], [])
    for instance in (position, stats):
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)


def test_messages_name_the_bare_type():
    position = qmc.QuilletTorsoPosition([0.0] * 2, [0.0] * 2, [0.0] * 3, [0.0] * 3)
    with pytest.raises(AttributeError, match=r"^'QuilletTorsoPosition' object has no attribute 'x'"):
        position.x
    with pytest.raises(TypeError, match=r"^cannot create 'ControlLoopStats' instances$"):
        qmc.ControlLoopStats()
