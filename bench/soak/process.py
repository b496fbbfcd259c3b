"""What this process holds, read from /proc, that the soak benchmarks share."""

from __future__ import annotations

import os


def memory_mb() -> tuple[float, float]:
    """(resident set now, its peak so far) in MB."""
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0]) / 1024  # kB
    return fields["VmRSS"], fields["VmHWM"]


def reset_peak() -> bool:
    """Starts the peak of memory_mb() afresh from the resident set now; False where the kernel
    does not let this process do so."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def threads() -> int:
    return len(os.listdir("/proc/self/task"))
