"""The type stub quillet_motor_controller.pyi agrees with the module: mypy's stubtest compares
every class, method, parameter and default, and the stub's docstrings match the runtime ones."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillet_motor_controller as qmc

STUB = Path(__file__).resolve().parents[2] / "src" / "bindings" / "quillet_motor_controller.pyi"
# Defaults that the text signature shows as `...` (not plain literals); the stub gives the value,
# as source text.
ELLIPSIS_DEFAULTS = {
    ("QuilletMotorController", "can_bus"): "'can0'",
    ("QuilletPyControlLoop", "can_bus"): "'can0'",
    ("QuilletPyControlLoop", "voltage_rampup_timeout"): "timedelta(seconds=30)",
}


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def run_stubtest(stub_text, tmp_path):
    (tmp_path / "quillet_motor_controller.pyi").write_text(stub_text, encoding="utf-8")
    env = dict(os.environ)
    env["MYPYPATH"] = str(tmp_path)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--concise",
         "--mypy-config-file", str(tmp_path / "none.ini"), "quillet_motor_controller"],
        capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path,
    )
    return result


def allowed(line):
    for (class_name, parameter) in ELLIPSIS_DEFAULTS:
        if line.startswith(f"quillet_motor_controller.{class_name}.__new__ ") and (
            f'runtime parameter "{parameter}" has a default value of Ellipsis' in line
        ):
            return True
    return False


def test_stub_matches_the_runtime(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "none.ini").write_text("[mypy]\n", encoding="utf-8")
    result = run_stubtest(STUB.read_text(encoding="utf-8"), tmp_path)
    problems = [line for line in result.stdout.splitlines() if line.strip() and not allowed(line)]
    assert problems == [], result.stdout + result.stderr
    assert result.returncode in (0, 1), result.stderr


def test_stub_classes_are_exactly_the_registered_ones():
    names = list(stub_classes())
    runtime = list(qmc.__all__)
    assert names == runtime
    declared = next(node for node in stub_tree().body if isinstance(node, ast.Assign))
    assert [e.value for e in declared.value.elts] == runtime


def test_defaults_shown_as_ellipsis_are_given_in_the_stub():
    classes = stub_classes()
    for (class_name, parameter), value in ELLIPSIS_DEFAULTS.items():
        method = next(n for n in classes[class_name].body
                      if isinstance(n, ast.FunctionDef) and n.name == "__new__")
        arguments = method.args
        defaults = dict(zip([a.arg for a in arguments.args][-len(arguments.defaults):],
                            arguments.defaults))
        assert ast.unparse(defaults[parameter]) == value
        runtime = inspect.signature(getattr(qmc, class_name)).parameters[parameter]
        assert runtime.default is Ellipsis


def test_stub_docstrings_match_the_runtime_docstrings():
    for class_name, node in stub_classes().items():
        cls = getattr(qmc, class_name)
        for item in node.body:
            if not isinstance(item, ast.FunctionDef) or item.name.startswith("__"):
                continue
            runtime = getattr(cls, item.name).__doc__
            assert ast.get_docstring(item) == runtime, (class_name, item.name)


def test_type_checkers_find_the_installed_stub(tmp_path):
    """It was installed beside the module, where type checkers do not look for a module's stub."""
    if "site-packages" not in Path(qmc.__file__).parts:
        pytest.skip("the module is not an installed one")
    installed = Path(qmc.__file__).with_name("quillet_motor_controller-stubs") / "__init__.pyi"
    assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text("import quillet_motor_controller as q\n"
                                     "reveal_type(q.QuilletMotorController().read_all_positions())\n")
    result = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "use.py"],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert 'Revealed type is "builtins.list[builtins.float]"' in result.stdout or \
        'Revealed type is "list[float]"' in result.stdout, result.stdout + result.stderr
