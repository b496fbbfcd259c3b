"""Building from source with a compiler whose library lacks C++23's <expected>."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def tool(name):
    beside = pathlib.Path(sys.executable).parent / name  # the test environment's own cmake
    return str(beside) if beside.exists() else shutil.which(name)


@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree")
def test_configure_stops_with_one_line_naming_what_is_missing_and_what_to_install(tmp_path):
    """It used to fail half-way through the build, inside the first unit that uses std::expected."""
    cmake, gxx = tool("cmake"), shutil.which("g++")
    if cmake is None or gxx is None:
        pytest.skip("needs cmake and g++")
    # g++ as a compiler whose library stops at C++20, where <expected> declares nothing.
    old = tmp_path / "g++"
    old.write_text('#!/bin/sh\nfor a in "$@"; do case "$a" in -std=*2[3b]) a=-std=c++20;; esac\n'
                   f'set -- "$@" "$a"; shift; done\nexec {gxx} "$@"\n')
    old.chmod(0o755)
    result = subprocess.run([cmake, "-S", ROOT, "-B", tmp_path / "build", f"-DCMAKE_CXX_COMPILER={old}",
                             "-DQMC_BUILD_MODULE=OFF"], capture_output=True, text=True,
                            env={**os.environ, "CXX": str(old)})
    assert result.returncode != 0
    lines = [line for line in result.stderr.splitlines() if "<expected>" in line]
    assert len(lines) == 1, result.stderr
    assert "has no C++23 <expected>: install g++ 12 or later" in lines[0]
    assert not list((tmp_path / "build").rglob("*.o"))  # nothing was compiled
