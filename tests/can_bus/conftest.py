"""The C++ programs these tests drive come from a build of the C++ tests: QMC_CPP_BUILD_DIR names
its directory (./scripts/test sets it)."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

BUILD_DIR_VARIABLE = "QMC_CPP_BUILD_DIR"


@pytest.fixture(scope="session")
def probe() -> Path:
    """can_bus_probe, built by CMake with the C++ tests."""
    build = os.environ.get(BUILD_DIR_VARIABLE)
    if not build:
        pytest.skip(f"can_bus_probe not found: set {BUILD_DIR_VARIABLE} to a build of the C++ tests")
    program = Path(build) / "tests" / "cpp" / "can_bus" / "can_bus_probe"
    if not program.is_file():
        pytest.fail(f"{BUILD_DIR_VARIABLE}={build} holds no can_bus_probe: build it first")
    return program
