"""The Python side of a virtual torso: starts the daemon and speaks its control channel.

The channel is a socket pair handed to the daemon as an inherited descriptor: one request line
of space-separated words, one JSON line back. When this end closes (the process exits, even
killed) the daemon sees end of file and stops, so no torso outlives its owner.
"""

from __future__ import annotations

import json
import os
import socket
import subprocess
import threading
import time
import weakref
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Self

from quillet_sim._paths import PRELOAD_NAME, daemon_path

SERVO_IDS = (1, 2, 3, 4, 5, 6, 7)
MOTOR_IDS = (1, 2, 3)
_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 5.0


class TorsoError(RuntimeError):
    """The virtual torso refused a request, or its daemon is gone."""


@dataclass(frozen=True)
class ServoRecord:
    """One piece of servo-line traffic, in line order."""

    time: float
    source: str  # "host", "servo" or "line"
    servo_id: int | None
    kind: str  # host: "packet", "bad_checksum", "junk"; servo: "reply"; line: "garbage", "noise"
    data: bytes


@dataclass(frozen=True)
class CanRecord:
    """One frame that crossed the CAN bus, in bus order."""

    time: float
    source: str  # "client" (a socket of a program), "motor" or "foreign"
    source_id: int | None  # client number or motor id
    can_id: int  # without the flag bits
    extended: bool
    rtr: bool
    error: bool
    fd: bool
    flags: int  # CAN FD flags byte
    data: bytes


@dataclass(frozen=True)
class ServoState:
    position: int
    goal_position: int
    torque_enabled: bool
    voltage: int
    pid: tuple[int, int, int]  # P, D, I: registers 21, 22, 23
    speed: float
    silent: bool
    rebooting: bool
    reply_delay: float
    bus_id: int  # the id it answers on (register 5): the joint's id unless moved
    baud_rate: int  # the rate it listens and answers at (register 6)


@dataclass(frozen=True)
class MitCommand:
    position: float
    velocity: float
    kp: float
    kd: float
    torque: float


@dataclass(frozen=True)
class MotorState:
    position: float
    velocity: float
    torque: float
    enabled: bool
    control_mode: int
    last_command: MitCommand | None
    silent: bool
    blocked: bool
    reply_delay: float


def _ids(selection: bool | Iterable[int], every: tuple[int, ...], what: str) -> list[int]:
    if selection is True:
        return list(every)
    if selection is False:
        return []
    ids = sorted({int(i) for i in selection})
    for i in ids:
        if i not in every:
            raise ValueError(f"no {what} with id {i} on the torso (ids {every[0]} to {every[-1]})")
    return ids


def _daemon_env() -> dict[str, str]:
    # The daemon needs no stand-in; keep the preload (ours only) out of it.
    env = dict(os.environ)
    preload = env.get("LD_PRELOAD")
    if preload:
        kept = [p for p in preload.replace(":", " ").split() if os.path.basename(p) != PRELOAD_NAME]
        if kept:
            env["LD_PRELOAD"] = " ".join(kept)
        else:
            del env["LD_PRELOAD"]
    return env


class _Channel:
    """The control connection; one request at a time."""

    def __init__(self, sock: socket.socket, process: subprocess.Popen[bytes]) -> None:
        self._sock = sock
        self._process = process
        self._buffer = b""
        self._lock = threading.Lock()
        self._closed = False

    def _dead(self) -> TorsoError:
        self._closed = True
        try:
            status = self._process.wait(timeout=1.0)
            return TorsoError(f"virtual torso daemon exited unexpectedly (status {status})")
        except subprocess.TimeoutExpired:
            return TorsoError("virtual torso daemon stopped answering")

    def read_line(self, timeout: float | None) -> dict[str, Any]:
        deadline = None if timeout is None else time.monotonic() + timeout
        while b"\n" not in self._buffer:
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TorsoError("virtual torso daemon did not answer in time")
                self._sock.settimeout(left)
            else:
                self._sock.settimeout(None)
            try:
                chunk = self._sock.recv(1 << 16)
            except TimeoutError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                raise self._dead()
            self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        reply = json.loads(line)
        if not isinstance(reply, dict):
            raise TorsoError(f"unexpected answer from the virtual torso: {line!r}")
        return reply

    def call(self, *words: object) -> dict[str, Any]:
        request = " ".join(str(w) for w in words)
        with self._lock:
            if self._closed:
                raise TorsoError("virtual torso is not running")
            try:
                self._sock.sendall(request.encode() + b"\n")
            except OSError:
                raise self._dead() from None
            reply = self.read_line(None)
        if not reply.get("ok"):
            raise TorsoError(str(reply.get("error", "request failed")))
        return reply

    def close(self) -> None:
        self._closed = True
        self._sock.close()


def _shutdown(channel: _Channel, process: subprocess.Popen[bytes]) -> None:
    """Stops the daemon; used by stop() and when a torso is dropped unstopped."""
    try:
        channel.call("stop")
    except TorsoError:
        pass
    channel.close()
    try:
        process.wait(timeout=_STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def _hex(data: bytes | bytearray | memoryview | Iterable[int]) -> str:
    raw = bytes(data)
    return raw.hex() if raw else "-"


class VirtualTorso:
    """A running virtual torso; see the package documentation."""

    def __init__(
        self,
        servos: bool | Iterable[int] = True,
        motors: bool | Iterable[int] = True,
        wire_timing: bool = False,
        *,
        serial_link: str | os.PathLike[str] | None = None,
        can_interface: str | None = None,
        can_fd: bool = True,
    ) -> None:
        self._servo_ids = _ids(servos, SERVO_IDS, "servo")
        self._motor_ids = _ids(motors, MOTOR_IDS, "motor")
        self._serve_servos = servos is not False
        self._wire_timing = bool(wire_timing)
        self._serial_link = os.fspath(serial_link) if serial_link is not None else None
        if can_interface is not None and not (0 < len(can_interface.encode()) <= 15):
            raise ValueError("can_interface must have 1 to 15 characters")
        if can_interface is not None and any(c in can_interface for c in " /\0"):
            raise ValueError("can_interface must not contain spaces, slashes or NUL")
        self._requested_interface = can_interface
        self._can_fd = bool(can_fd)
        self._channel: _Channel | None = None
        self._process: subprocess.Popen[bytes] | None = None
        self._finalizer: weakref.finalize[Any, Any] | None = None
        self._can_interface = ""

    # -- lifecycle ---------------------------------------------------------------------------

    def start(self) -> Self:
        """Start the daemon and wait until both buses are served."""
        if self._channel is not None:
            raise TorsoError("virtual torso is already running")
        args = [daemon_path()]
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        args += ["--control-fd", str(theirs.fileno())]
        if self._serve_servos:
            args += ["--servos", ",".join(map(str, self._servo_ids)) or "none"]
        else:
            args += ["--no-servo-bus"]
        args += ["--motors", ",".join(map(str, self._motor_ids)) or "none"]
        if self._wire_timing:
            args += ["--wire-timing"]
        if self._serial_link is not None:
            args += ["--serial-link", self._serial_link]
        if self._requested_interface is not None:
            args += ["--can-interface", self._requested_interface]
        if not self._can_fd:
            args += ["--classic-can"]
        try:
            # Its own process group: a Ctrl-C at the terminal is the owner's to handle.
            process = subprocess.Popen(
                args,
                pass_fds=(theirs.fileno(),),
                stdin=subprocess.DEVNULL,
                env=_daemon_env(),
                process_group=0,
            )
        finally:
            theirs.close()
        channel = _Channel(ours, process)
        try:
            hello = channel.read_line(_START_TIMEOUT)
        except BaseException:
            process.kill()
            process.wait()
            channel.close()
            raise
        if not hello.get("ok"):
            process.wait()
            channel.close()
            raise TorsoError(f"virtual torso failed to start: {hello.get('error')}")
        self._process = process
        self._channel = channel
        self._can_interface = str(hello["can_interface"])
        self._finalizer = weakref.finalize(self, _shutdown, channel, process)
        return self

    def stop(self) -> None:
        """Stop the daemon: the device path and the CAN interface disappear."""
        if self._finalizer is not None:
            self._finalizer()
        self._finalizer = None
        self._channel = None
        self._process = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._channel is not None and self._process is not None and self._process.poll() is None

    def _call(self, *words: object) -> dict[str, Any]:
        if self._channel is None:
            raise TorsoError("virtual torso is not running")
        return self._channel.call(*words)

    # -- identity ----------------------------------------------------------------------------

    @property
    def serial_path(self) -> str | None:
        """The device path of the servo bus (the symlink when one was asked for); None when no
        servo bus is served."""
        if not self._serve_servos:
            return None
        if self._serial_link is not None:
            return self._serial_link
        path = self._call("info").get("pty_path")
        return str(path) if path is not None else None

    @property
    def can_interface(self) -> str:
        if self._channel is None:
            raise TorsoError("virtual torso is not running")
        return self._can_interface

    @property
    def wire_timing(self) -> bool:
        return self._wire_timing

    @property
    def servo_ids(self) -> list[int]:
        return list(self._servo_ids)

    @property
    def motor_ids(self) -> list[int]:
        return list(self._motor_ids)

    # -- devices -----------------------------------------------------------------------------

    def servo(self, servo_id: int) -> SimServo:
        if servo_id not in self._servo_ids:
            raise ValueError(f"servo {servo_id} is not simulated on this torso")
        return SimServo(self, servo_id)

    def motor(self, motor_id: int) -> SimMotor:
        if motor_id not in self._motor_ids:
            raise ValueError(f"motor {motor_id} is not simulated on this torso")
        return SimMotor(self, motor_id)

    # -- servo line ----------------------------------------------------------------------------

    def inject_serial_bytes(self, data: bytes) -> None:
        """Put bytes on the servo line towards the host at once (garbage)."""
        self._call("line.inject", _hex(data))

    def set_serial_noise(self, bytes_per_ms: int) -> None:
        """A continuous stream of bytes on the servo line; 0 stops it."""
        self._call("line.noise", int(bytes_per_ms))

    def unplug(self) -> None:
        """Close the pseudo-terminal, as if the torso's USB cable were pulled."""
        self._call("line.unplug")

    def plug_in(self) -> None:
        """Open a new pseudo-terminal (and renew the symlink, if any)."""
        self._call("line.plug")

    @property
    def plugged(self) -> bool:
        return bool(self._call("info")["plugged"])

    def set_supply_voltage(self, tenths: int) -> None:
        self._call("servo.set", "*", "voltage", int(tenths))

    def ramp_supply_voltage(self, start: int, end: int, seconds: float) -> None:
        self._call("servo.ramp", "*", int(start), int(end), float(seconds))

    # -- CAN bus --------------------------------------------------------------------------------

    def send_can_frame(
        self, can_id: int, data: bytes = b"", *, extended: bool = False, fd: bool = False, error: bool = False
    ) -> None:
        """Put one frame of a foreign device on the CAN bus (to every client that wants it). With
        `error`, an error frame whose class bits are `can_id`."""
        word = can_id | (0x80000000 if extended else 0) | (0x20000000 if error else 0)
        self._call("can.send", word, _hex(data), int(fd))

    def set_can_ack(self, acknowledged: bool) -> None:
        """Whether some device acknowledges frames on the CAN bus. With False, as with the motors
        unpowered, CAN-H and CAN-L swapped, no termination or another bitrate: what programs write
        stays in the interface's transmit queue, whose 10 frames then make every further write fail
        with ENOBUFS; the motors receive nothing; sockets that ask for CAN_ERR_ACK error frames get
        one for each frame tried. With True the queue goes out, in order."""
        self._call("can.ack", int(bool(acknowledged)))

    @property
    def can_ack(self) -> bool:
        return bool(self._call("info")["can_ack"])

    def set_foreign_traffic(
        self,
        period: float | None = None,
        before_reply: int = 0,
        can_id: int = 0x100,
        data: bytes = bytes(8),
    ) -> None:
        """Frames of a foreign device: every `period` seconds, and `before_reply` of them just
        before every motor reply. `set_foreign_traffic()` stops both."""
        self._call("can.foreign", float(period or 0.0), int(before_reply), int(can_id), _hex(data))

    # -- traffic ----------------------------------------------------------------------------------

    def servo_traffic(self) -> list[ServoRecord]:
        return [
            ServoRecord(
                time=float(e["t"]),
                source=str(e["source"]),
                servo_id=e.get("id"),
                kind=str(e["kind"]),
                data=bytes.fromhex(e["data"]),
            )
            for e in self._call("traffic.servo")["records"]
        ]

    def can_traffic(self) -> list[CanRecord]:
        records = []
        for e in self._call("traffic.can")["records"]:
            word = int(e["id"])
            extended = bool(word & 0x80000000)
            records.append(
                CanRecord(
                    time=float(e["t"]),
                    source=str(e["source"]),
                    source_id=e.get("source_id"),
                    can_id=word & (0x1FFFFFFF if extended else 0x7FF),
                    extended=extended,
                    rtr=bool(word & 0x40000000),
                    error=bool(word & 0x20000000),
                    fd=bool(e["fd"]),
                    flags=int(e["flags"]),
                    data=bytes.fromhex(e["data"]),
                )
            )
        return records

    def clear_traffic(self) -> None:
        self._call("traffic.clear")


class SimServo:
    """Handle on one simulated servo of a running torso."""

    def __init__(self, torso: VirtualTorso, servo_id: int) -> None:
        self._torso = torso
        self.id = servo_id

    def _set(self, key: str, value: object) -> None:
        self._torso._call("servo.set", self.id, key, value)

    def read(self, address: int, count: int) -> bytes:
        reply = self._torso._call("servo.read", self.id, int(address), int(count))
        return bytes.fromhex(reply["data"])

    def write(self, address: int, data: bytes | Iterable[int]) -> None:
        self._torso._call("servo.write", self.id, int(address), _hex(bytes(data)))

    def state(self) -> ServoState:
        s = self._torso._call("servo.state", self.id)
        return ServoState(
            position=int(s["position"]),
            goal_position=int(s["goal_position"]),
            torque_enabled=bool(s["torque_enabled"]),
            voltage=int(s["voltage"]),
            pid=(int(s["pid"][0]), int(s["pid"][1]), int(s["pid"][2])),
            speed=float(s["speed"]),
            silent=bool(s["silent"]),
            rebooting=bool(s["rebooting"]),
            reply_delay=float(s["reply_delay"]),
            bus_id=int(s["bus_id"]),
            baud_rate=int(s["baud_rate"]),
        )

    @property
    def bus_id(self) -> int:
        return self.state().bus_id

    @property
    def position(self) -> int:
        return self.state().position

    @property
    def goal_position(self) -> int:
        return self.state().goal_position

    @property
    def torque_enabled(self) -> bool:
        return self.state().torque_enabled

    @property
    def voltage(self) -> int:
        return self.state().voltage

    @property
    def pid(self) -> tuple[int, int, int]:
        return self.state().pid

    def set_bus_id(self, bus_id: int) -> None:
        """Make the servo answer on another id (0 to 253, not one another servo answers on),
        as after its id register was set; set_bus_id(servo.id) moves it back."""
        self._torso._call("servo.bus_id", self.id, int(bus_id))

    def set_baud_rate(self, rate: int) -> None:
        """Make the servo listen at another of its rates (1000000, 500000, 250000, 128000, 115200,
        76800, 57600, 38400), as after its baud rate register was set: it then answers only a host
        whose end of the line is set to that rate, and at any other rate neither hears nor answers.
        The line starts at 1 Mbaud."""
        self._set("baud_rate", int(rate))

    def set_position(self, steps: int) -> None:
        """Move the servo by hand (the goal stays)."""
        self._set("position", int(steps))

    def set_speed(self, steps_per_second: float) -> None:
        self._set("speed", float(steps_per_second))

    def set_silent(self, silent: bool = True) -> None:
        self._set("silent", int(bool(silent)))

    def corrupt_next_reply(self) -> None:
        self._set("corrupt_next", 1)

    def delay_next_reply(self, seconds: float = 0.015) -> None:
        self._set("delay_next", float(seconds))

    def set_reply_delay(self, seconds: float) -> None:
        self._set("reply_delay", float(seconds))

    def set_voltage(self, tenths: int) -> None:
        self._set("voltage", int(tenths))

    def ramp_voltage(self, start: int, end: int, seconds: float) -> None:
        self._torso._call("servo.ramp", self.id, int(start), int(end), float(seconds))


class SimMotor:
    """Handle on one simulated Damiao motor of a running torso."""

    def __init__(self, torso: VirtualTorso, motor_id: int) -> None:
        self._torso = torso
        self.id = motor_id

    def _set(self, key: str, value: object) -> None:
        self._torso._call("motor.set", self.id, key, value)

    def state(self) -> MotorState:
        s = self._torso._call("motor.state", self.id)
        last = s.get("last_command")
        return MotorState(
            position=float(s["position"]),
            velocity=float(s["velocity"]),
            torque=float(s["torque"]),
            enabled=bool(s["enabled"]),
            control_mode=int(s["control_mode"]),
            last_command=None if last is None else MitCommand(**{k: float(v) for k, v in last.items()}),
            silent=bool(s["silent"]),
            blocked=bool(s["blocked"]),
            reply_delay=float(s["reply_delay"]),
        )

    @property
    def position(self) -> float:
        return self.state().position

    def set_position(self, radians: float) -> None:
        self._set("position", repr(float(radians)))

    def set_control_mode(self, mode: int) -> None:
        self._set("mode", int(mode))

    def set_silent(self, silent: bool = True) -> None:
        self._set("silent", int(bool(silent)))

    def set_blocked(self, blocked: bool = True) -> None:
        self._set("blocked", int(bool(blocked)))

    def delay_next_reply(self, seconds: float = 0.025) -> None:
        self._set("delay_next", float(seconds))

    def set_reply_delay(self, seconds: float) -> None:
        self._set("reply_delay", float(seconds))
