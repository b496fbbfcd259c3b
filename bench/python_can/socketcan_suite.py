"""Runs python-can's own SocketCAN tests against bare virtual torsos and prints the counts.

python-can's suite expects interfaces vcan0, vxcan0 and slcan0 (its CI makes them with
`ip link add ... type vcan`). Here three torsos without servos or motors serve those names and
the tests run under the SocketCAN stand-in. The sdist comes from PyPI and is installed, with
pytest, into an environment of its own (never the project's):

    .venv/bin/python bench/python_can/socketcan_suite.py [--env DIR] [--version X.Y.Z]

The cyclic-sending tests need the kernel's broadcast manager (CAN_BCM), which the stand-in does
not offer, and one test discovers interfaces with `ip link`: those are expected to fail.

The torsos must be the only servers of those three names. When another program already serves
one and this runs as root, the tests run in a network namespace of their own (`unshare --net`),
where abstract unix addresses, and so the names, are private.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

NAMES = ("vcan0", "vxcan0", "slcan0")
TEST_FILES = (
    "test/back2back_test.py",
    "test/test_cyclic_socketcan.py",
    "test/test_socketcan.py",
    "test/test_socketcan_helpers.py",
    "test/test_socketcan_loopback.py",
    "test/test_detect_available_configs.py",
)
SELECTION = "socketcan or SocketCan or SocketCAN"
EXPECTED = {
    "needs the broadcast manager (CAN_BCM)": re.compile(r"test_cyclic_socketcan|periodic"),
    "discovers interfaces with ip link": re.compile(r"test_find_available_interfaces$"),
}


def served(name: str) -> bool:
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    with probe:
        try:
            probe.connect(b"\0quillet-sim/can/" + name.encode())
        except OSError:
            return False
    return True


def prepare(env: Path, version: str | None) -> Path:
    """The environment's python, with python-can from its sdist; the unpacked sdist's folder."""
    python = env / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(env)], check=True)
    pip = [str(python), "-m", "pip", "--disable-pip-version-check", "-q"]
    requirement = f"python-can=={version}" if version else "python-can"
    sdists = env / "sdist"
    if not list(sdists.glob("python_can-*.tar.gz")):
        subprocess.run([*pip, "download", "--no-binary", ":all:", "--no-deps", "-d", str(sdists), requirement],
                       check=True)
    archive = sorted(sdists.glob("python_can-*.tar.gz"))[-1]
    source = env / archive.name.removesuffix(".tar.gz")
    if not source.exists():
        with tarfile.open(archive) as sdist:
            sdist.extractall(env, filter="data")
    subprocess.run([*pip, "install", str(archive), "pytest", "pytest-timeout"], check=True)
    return source


def run_suite(env: Path, source: Path) -> int:
    import quillet_sim

    taken = [name for name in NAMES if served(name)]
    if taken:
        print(f"already served here: {', '.join(taken)}", file=sys.stderr)
        return 2
    torsos = [quillet_sim.VirtualTorso(servos=False, motors=False, can_interface=n).start() for n in NAMES]
    try:
        child_env = dict(os.environ, TEST_SOCKETCAN="1", LD_PRELOAD=quillet_sim.preload_path())
        child_env.pop("CI", None)  # python-can skips some tests on CI servers
        command = [str(env / "bin" / "python"), "-m", "pytest", "-p", "no:cacheprovider", "-o", "addopts=",
                   "--timeout=120", "-q", "-rA", "-k", SELECTION, *TEST_FILES]
        done = subprocess.run(command, cwd=source, env=child_env, capture_output=True, text=True)
    finally:
        for torso in torsos:
            torso.stop()
    log = env / "socketcan_suite.log"
    log.write_text(done.stdout + done.stderr)
    outcomes = re.findall(r"^(PASSED|FAILED|ERROR) (\S+)", done.stdout, re.MULTILINE)
    counts = {kind: sum(1 for k, _ in outcomes if k == kind) for kind in ("PASSED", "FAILED", "ERROR")}
    version = subprocess.run([str(env / "bin" / "python"), "-c", "import can; print(can.__version__)"],
                             capture_output=True, text=True).stdout.strip()
    print(f"python-can {version}, SocketCAN tests ({SELECTION!r}) on virtual torsos serving {', '.join(NAMES)}")
    failed = [test for kind, test in outcomes if kind != "PASSED"]
    unexpected = []
    for test in failed:
        reason = next((why for why, pattern in EXPECTED.items() if pattern.search(test)), None)
        print(f"  failed: {test}" + (f"  (expected: {reason})" if reason else ""))
        if reason is None:
            unexpected.append(test)
    summary = f"{counts['PASSED']} passed, {counts['FAILED'] + counts['ERROR']} failed"
    skipped = re.search(r"(\d+) skipped", done.stdout)
    print(summary + (f", {skipped.group(1)} skipped" if skipped else ""))
    print(f"unexpected failures: {len(unexpected)}; full output in {log}")
    return 1 if unexpected else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--env", type=Path, help="environment for python-can and pytest (default: a new temporary one)")
    parser.add_argument("--version", help="python-can version (default: the latest)")
    parser.add_argument("--run-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    env = (args.env or Path(tempfile.mkdtemp(prefix="python-can-suite-"))).resolve()
    if args.run_only:
        return run_suite(env, next(p for p in env.glob("python_can-*") if p.is_dir()))
    source = prepare(env, args.version)
    if any(served(name) for name in NAMES) and os.geteuid() == 0 and shutil.which("unshare"):
        # A namespace of its own: set up above, where the network was still there.
        command = ["unshare", "--net", sys.executable, os.path.abspath(__file__), "--env", str(env), "--run-only"]
        return subprocess.run(command).returncode
    return run_suite(env, source)


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.exit(main())
