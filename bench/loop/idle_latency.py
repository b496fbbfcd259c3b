"""A request that the CPUs stay in their shallowest idle state, as real-time hosts make.

On a virtual machine a CPU that halts when idle takes tens of microseconds to wake, once for
every reply a sleeping thread waits for; a 1 kHz loop feels that more than anything else. The
kernel's PM QoS interface keeps idle CPUs polling while the file stays open with 0 written to it.
"""

from __future__ import annotations

import contextlib
import os
import struct
from collections.abc import Iterator

_PATH = "/dev/cpu_dma_latency"


@contextlib.contextmanager
def shallow_idle() -> Iterator[bool]:
    """Holds a 0 us CPU wake-up latency request; yields whether the kernel took it (root only)."""
    try:
        fd = os.open(_PATH, os.O_WRONLY | os.O_CLOEXEC)
    except OSError:
        yield False
        return
    try:
        os.write(fd, struct.pack("i", 0))
        yield True
    finally:
        os.close(fd)
