"""Checks that a wheel carries what the project ships, built for the wheel's machine.

    python scripts/check_wheel.py WHEEL...

Each wheel must hold the module, its stub package, the virtual torso (its daemon and SocketCAN
stand-in), the tools and quillet-scan, and every program and library in it must be an ELF file
for the machine its name claims (a cross build that picked up a program of the build machine
would otherwise pass every other check). Exits 1 on the first wheel that fails.
"""

from __future__ import annotations

import re
import struct
import sys
import zipfile

# e_machine of the ELF header, by the machine part of a wheel's platform tag.
MACHINES = {"x86_64": 62, "aarch64": 183}

REQUIRED = [
    "quillet_motor_controller.abi3.so",
    "quillet_motor_controller-stubs/__init__.pyi",
    "quillet_sim/__init__.py",
    "quillet_sim/bin/quillet-torso",
    "quillet_sim/lib/libquillet_socketcan.so",
    "quillet_tools/__init__.py",
    "quillet_tools/monitor.py",
]
SCRIPT = "quillet-scan"


def elf_machine(data: bytes) -> int | None:
    if data[:4] != b"\x7fELF":
        return None
    return struct.unpack_from("<H", data, 18)[0]


def check(path: str) -> list[str]:
    match = re.search(r"-cp313-abi3-manylinux_\d+_\d+_(\w+)\.whl$", path)
    if match is None:
        return [f"not a cp313-abi3 manylinux wheel: {path}"]
    machine = MACHINES.get(match.group(1))
    problems = []
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        for required in REQUIRED:
            if required not in names:
                problems.append(f"missing {required}")
        if not any(re.fullmatch(rf"[^/]+\.data/scripts/{SCRIPT}", n) for n in names):
            problems.append(f"missing the command {SCRIPT}")
        elf = 0
        for name in names:
            found = elf_machine(wheel.read(name)[:20])
            if found is None:
                continue
            elf += 1
            if found != machine:
                problems.append(f"{name} is for ELF machine {found}, not {match.group(1)}")
        if elf != 4:
            problems.append(f"{elf} ELF files, expected 4 (module, daemon, stand-in, quillet-scan)")
    return problems


def main() -> int:
    status = 0
    for path in sys.argv[1:]:
        problems = check(path)
        for problem in problems:
            print(f"{path}: {problem}", file=sys.stderr)
        if problems:
            status = 1
        else:
            print(f"{path}: module, stub, virtual torso, tools and {SCRIPT}, all for its machine")
    return status


if __name__ == "__main__":
    sys.exit(main())
