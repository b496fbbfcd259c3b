import ast
import pathlib
import re

import pytest

import quillet_motor_controller as qmc

SURFACE = re.compile(r"\bqmc\._[a-z]")
QUOTED_NAME = re.compile(r"""["'](_[a-z]\w*)["']""")


def uses_surface(text: str) -> bool:
    """`qmc._name`, or the name of a module attribute that this build lacks, quoted."""
    return bool(SURFACE.search(text)) or any(not hasattr(qmc, n) for n in QUOTED_NAME.findall(text))


def surface_users(path: pathlib.Path) -> set[str]:
    """The module-level names of a test file (functions, fixtures, constants such as scripts for
    a subprocess) that reach the module's test surface, directly or through another such name."""
    defined: dict[str, ast.AST] = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            defined[node.name] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    defined[target.id] = node
    refers = {name: {n.id for n in ast.walk(node) if isinstance(n, ast.Name)} |
              {a.arg for a in getattr(getattr(node, "args", None), "args", [])} for name, node in defined.items()}
    users = {name for name, node in defined.items() if uses_surface(ast.unparse(node))}
    while True:
        more = {name for name in defined if refers[name] & users} - users
        if not more:
            return users
        users |= more


def pytest_collection_modifyitems(config, items):
    # Many of these tests reach the module through its test surface (`qmc._log`, `qmc._convert`,
    # ...), which only a build with QMC_TEST_SURFACE has; ./scripts/test builds it so. A wheel
    # has none: those tests skip there, the others run.
    if hasattr(qmc, "_log"):
        return
    here = pathlib.Path(__file__).parent
    skip = pytest.mark.skip(reason="module built without its test surface (QMC_TEST_SURFACE)")
    users: dict[pathlib.Path, set[str]] = {}
    for item in items:
        path = pathlib.Path(str(item.fspath))
        if path.parent != here:
            continue
        if path not in users:
            users[path] = surface_users(path)
        if getattr(item, "originalname", item.name) in users[path]:
            item.add_marker(skip)
