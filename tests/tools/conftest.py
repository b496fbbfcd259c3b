"""Fixtures of the tools' tests: virtual torsos and the installed commands, run as a person runs
them. The tests run under the SocketCAN stand-in (the pytest plugin), and so do the commands
they start."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import sysconfig
from dataclasses import dataclass
from typing import Any

import pytest

quillet_sim = pytest.importorskip("quillet_sim")


@dataclass
class Run:
    status: int
    out: str
    err: str

    def json(self) -> Any:
        return json.loads(self.out)


def command(name: str) -> str:
    path = os.path.join(sysconfig.get_path("scripts"), name)
    if not os.access(path, os.X_OK):
        pytest.skip(f"{name} is not installed beside this Python")
    return path


@pytest.fixture
def scan():
    """Runs quillet-scan with the given arguments."""
    program = command("quillet-scan")

    def run(*args: str, timeout: float = 30) -> Run:
        done = subprocess.run([program, *args], capture_output=True, text=True, timeout=timeout)
        return Run(done.returncode, done.stdout, done.stderr)

    return run


@pytest.fixture
def monitor():
    """Runs quillet-monitor (through this Python) with the given arguments, stdout not a terminal."""

    def run(*args: str, env: dict[str, str] | None = None, timeout: float = 60) -> Run:
        done = subprocess.run([sys.executable, "-m", "quillet_tools.monitor", *args], capture_output=True,
                              text=True, timeout=timeout, env=env)
        return Run(done.returncode, done.stdout, done.stderr)

    return run


@pytest.fixture
def torso():
    with quillet_sim.VirtualTorso() as torso:
        yield torso
