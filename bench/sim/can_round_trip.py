"""Round trip of one feedback request to a simulated motor through the SocketCAN stand-in.

Run under the preload, e.g.
    LD_PRELOAD=$(.venv/bin/python -c 'import quillet_sim; print(quillet_sim.preload_path())') \\
        .venv/bin/python bench/sim/can_round_trip.py [--count N]
Prints the median and the 99th percentile in microseconds: what the torso and the stand-in add
to every CAN exchange of a program (the real bus takes about 0.25 ms for the two frames).
"""

from __future__ import annotations

import argparse
import socket
import statistics
import struct
import time

from quillet_sim import VirtualTorso
from quillet_sim.pytest_plugin import preload_active

FEEDBACK_REQUEST = struct.pack("=IB3x8s", 0x7FF, 8, bytes([1, 0, 0xCC, 0, 0, 0, 0, 0]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=5000)
    args = parser.parse_args()
    if not preload_active():
        raise SystemExit("run with LD_PRELOAD set to quillet_sim.preload_path()")
    with VirtualTorso(servos=False) as torso:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        with s:
            s.bind((torso.can_interface,))
            s.settimeout(1.0)
            times = []
            for _ in range(args.count):
                start = time.perf_counter()
                s.send(FEEDBACK_REQUEST)
                s.recv(72)
                times.append(time.perf_counter() - start)
    times.sort()
    print(f"CAN round trip over {args.count} requests: median {statistics.median(times) * 1e6:.0f} us, "
          f"p99 {times[int(len(times) * 0.99)] * 1e6:.0f} us")


if __name__ == "__main__":
    main()
