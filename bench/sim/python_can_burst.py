"""A burst of frames from python-can through the SocketCAN stand-in, beside a reader on another
bus object: how many writes were refused, how long the burst took, what the reader heard.

Run under the preload, e.g.
    LD_PRELOAD=$(.venv/bin/python -c 'import quillet_sim; print(quillet_sim.preload_path())') \\
        .venv/bin/python bench/sim/python_can_burst.py [--count N]
On a vcan no write is ever refused; a reader that falls behind loses frames to its receive buffer.
"""

from __future__ import annotations

import argparse
import threading
import time

import can

from quillet_sim import VirtualTorso
from quillet_sim.pytest_plugin import preload_active


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=10_000)
    args = parser.parse_args()
    if not preload_active():
        raise SystemExit("run with LD_PRELOAD set to quillet_sim.preload_path()")
    with VirtualTorso(servos=False, motors=False) as torso, \
            can.Bus(interface="socketcan", channel=torso.can_interface) as writer, \
            can.Bus(interface="socketcan", channel=torso.can_interface) as reader:
        heard = 0
        done = threading.Event()

        def read() -> None:
            nonlocal heard
            while not done.is_set():
                if reader.recv(0.05) is not None:
                    heard += 1

        listening = threading.Thread(target=read)
        listening.start()
        refused = 0
        start = time.perf_counter()
        for i in range(args.count):
            try:
                writer.send(can.Message(arbitration_id=i & 0x7FF, is_extended_id=False, data=bytes(8)))
            except can.CanOperationError:
                refused += 1
        elapsed = time.perf_counter() - start
        time.sleep(0.3)
        done.set()
        listening.join()
    print(f"python-can burst of {args.count} frames: {refused} refused, {elapsed * 1e3:.0f} ms "
          f"({args.count / elapsed:.0f} frames/s), the reader heard {heard}")


if __name__ == "__main__":
    main()
