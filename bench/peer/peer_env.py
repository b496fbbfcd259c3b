"""The peer stack's own virtual environment, created on first use and reused afterwards.

It lives under the user's cache directory, never in the project's environment, so that nothing
of the peer stack can leak into the module's tests or builds. Its name carries the Python version
and a digest of requirements.txt: a change of pins makes a new environment.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REQUIREMENTS = HERE / "requirements.txt"


def _cache_root() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillet_motor_controller"


def peer_env_dir() -> Path:
    digest = hashlib.sha256(REQUIREMENTS.read_bytes()).hexdigest()[:12]
    version = f"py{sys.version_info.major}.{sys.version_info.minor}"
    return _cache_root() / f"peer-venv-{version}-{digest}"


def peer_python(quiet: bool = True) -> Path:
    """The interpreter of the peer environment, creating the environment when needed.

    Safe to call from several processes at once: creation holds a lock, and an environment only
    counts as made once its stamp is written, so one left half-made is made again.
    """
    env = peer_env_dir()
    python = env / "bin" / "python"
    stamp = env / ".installed"
    env.parent.mkdir(parents=True, exist_ok=True)
    with open(env.parent / (env.name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if stamp.exists() and python.exists():
            return python
        if not quiet:
            print(f"creating the peer environment {env} (one time)", file=sys.stderr, flush=True)
        # pip needs no preloaded library, whatever the caller runs under.
        plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run([sys.executable, "-m", "venv", "--clear", str(env)], check=True, env=plain)
        pip = [str(python), "-m", "pip", "install", "--disable-pip-version-check"]
        if quiet:
            pip.append("-q")
        subprocess.run([*pip, "-r", str(REQUIREMENTS)], check=True, env=plain)
        stamp.write_text(REQUIREMENTS.read_text())
    return python


if __name__ == "__main__":
    print(peer_python(quiet=False))
