"""Instructions per call of the module surface, counted by valgrind's cachegrind: the statements of
bench_module.py as a figure that does not move with what else the machine runs (its timings
do, by tens of percent on a shared machine).

    .venv/bin/python bench/module/instructions.py

Each statement runs in a child Python under cachegrind twice, 2000 and 12000 times; the
difference divided by 10000 is one call (start-up and set-up cancel). Needs valgrind and the
module's test surface (./scripts/test installs it so).
"""

from __future__ import annotations

import re
import subprocess
import sys

SETUP = """
import quillet_motor_controller as qmc
position = qmc.QuilletTorsoPosition([0.1, 0.2], [0.3, 0.4], [0.0, 0.0, 0.0], [0.0, 0.1, -0.1])
values = [0.0, 0.1, -0.1]
convert = qmc._convert
"""

ROWS = [
    ("attribute read: position.neck (new 3-float list)", "position.neck"),
    ("attribute read: position.timestamp (float)", "position.timestamp"),
    ("call with no conversion: _convert('none', values)", "convert('none', values)"),
    ("call converting a 3-float list: _convert('f64x3', values)", "convert('f64x3', values)"),
    ("call converting a 3-float list, result dropped", "convert('f64x3_drop', values)"),
    ("record repr", "repr(position)"),
]
FEW, MANY = 2000, 12000


def instructions(statement: str, count: int) -> int:
    code = f"{SETUP}\nfor _ in range({count}):\n    {statement}\n"
    done = subprocess.run(["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
                           sys.executable, "-c", code], capture_output=True, text=True, check=True)
    match = re.search(r"I\s+refs:\s+([\d,]+)", done.stderr)
    if match is None:
        raise RuntimeError(done.stderr)
    return int(match.group(1).replace(",", ""))


def main() -> None:
    import quillet_motor_controller as qmc

    print(f"module: {qmc.__file__}")
    for label, statement in ROWS:
        per_call = (instructions(statement, MANY) - instructions(statement, FEW)) / (MANY - FEW)
        print(f"{label:<62} {per_call:8.0f} instructions", flush=True)


if __name__ == "__main__":
    main()
