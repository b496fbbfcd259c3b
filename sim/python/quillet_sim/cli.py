"""quillet-sim: run a virtual torso by hand until Ctrl-C."""

from __future__ import annotations

import argparse
import signal
import sys
import threading

from quillet_sim._torso import TorsoError, VirtualTorso


def _ids(text: str) -> list[int]:
    if text.strip().lower() == "none":
        return []
    return [int(part) for part in text.split(",") if part.strip()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="quillet-sim",
        description="Run a virtual Quillet torso: servos on a pseudo-terminal, CAN motors on a "
        "simulated interface (reach it with LD_PRELOAD set to the path printed).",
    )
    parser.add_argument("--servos", type=_ids, default=None, metavar="IDS",
                        help="servo ids to simulate, comma-separated, or 'none' (default: 1 to 7)")
    parser.add_argument("--motors", type=_ids, default=None, metavar="IDS",
                        help="motor ids to simulate, comma-separated, or 'none' (default: 1 to 3)")
    parser.add_argument("--no-servo-bus", action="store_true", help="serve no servo bus at all")
    parser.add_argument("--wire-timing", action="store_true",
                        help="pace replies as on the real wires (1 Mbaud, 1 Mbit/s)")
    parser.add_argument("--serial-link", metavar="PATH", help="keep a symlink to the serial device here")
    parser.add_argument("--can-interface", metavar="NAME", help="CAN interface name (default: first free vcanN)")
    args = parser.parse_args(argv)

    servos: bool | list[int] = False if args.no_servo_bus else (True if args.servos is None else args.servos)
    motors: bool | list[int] = True if args.motors is None else args.motors
    # Ctrl-C and SIGTERM only ask for the stop, so that it is never cut half-way.
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        with VirtualTorso(servos, motors, args.wire_timing, serial_link=args.serial_link,
                          can_interface=args.can_interface) as torso:
            print(f"serial port: {torso.serial_path or '(none)'}", flush=True)
            print(f"CAN interface: {torso.can_interface}", flush=True)
            try:
                from quillet_sim._paths import preload_path
                print(f"LD_PRELOAD={preload_path()}", flush=True)
            except FileNotFoundError:
                pass
            print("running; Ctrl-C stops it", flush=True)
            while not stop.wait(0.5):
                if not torso.running:
                    print("quillet-sim: the torso daemon exited", file=sys.stderr)
                    return 1
    except (TorsoError, OSError, ValueError) as error:
        print(f"quillet-sim: {error}", file=sys.stderr)
        return 1
    print("stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
