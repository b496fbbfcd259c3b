"""A virtual Quillet torso: seven serial-bus servos and three CAN motors without the robot.

The torso runs as a separate process (the daemon ``quillet-torso`` shipped in this package) and
serves:

* a servo bus on a pseudo-terminal, opened like a real 1 Mbaud serial device at
  ``torso.serial_path``: servos 1 to 4 (SM40BL) and 5 to 7 (STS3025BL);
* a CAN bus named like an interface (``torso.can_interface``, for example "vcan0") with three
  Damiao motors in MIT mode, command and feedback ids 1 to 3 (yaw, pitch, roll). Programs reach
  it through the SocketCAN stand-in, a library preloaded with ``LD_PRELOAD=preload_path()``.

Quick start::

    from quillet_sim import VirtualTorso

    with VirtualTorso() as torso:
        print(torso.serial_path, torso.can_interface)
        torso.motor(1).set_position(6.0)
        ...                                  # drive it with quillet_motor_controller
        assert torso.servo(1).torque_enabled

Construction: ``VirtualTorso(servos=True, motors=True, wire_timing=False, *, serial_link=None,
can_interface=None, can_fd=True)``. ``servos`` and ``motors`` take True (all), False (none) or the ids to
simulate; a left-out device is silent, so that another program can play it. A torso with no
motor still serves its CAN bus; ``servos=[]`` serves a servo line with nobody on it, while
``servos=False`` serves no servo line at all (``serial_path`` is None). ``wire_timing`` paces
servo replies at 10 us a byte and CAN frames at 1 Mbit/s. ``serial_link`` is a path where a
symlink to the pseudo-terminal is kept (removed while unplugged); ``serial_path`` is then that
path. ``can_interface`` picks the interface name (at most 15 characters) instead of the first
free "vcanN"; ``can_fd=False`` makes it a classic interface (MTU 16) that refuses FD
frames. The torso starts on ``start()`` or ``with``, and stops on ``stop()``, at the end
of the block, or when the owning process exits. ``running``, ``servo_ids`` and ``motor_ids``
describe it. Every call raises ``TorsoError`` when the daemon has died or refuses the request.
What a program wrote on either bus before a call is taken in before the torso answers it, so a
sync write without reply is already in the record and the registers.

Servos, ``torso.servo(id)`` -> ``SimServo``:

* ``read(addr, n) -> bytes`` and ``write(addr, data)``: the register table (positions 56/57,
  voltage 62 and the other present values read as the servo would report them now);
* ``position`` (present position, steps), ``goal_position``, ``torque_enabled``, ``voltage``
  (tenths of a volt), ``pid`` (P, D, I: registers 21 to 23), ``bus_id``, ``state()`` (all of
  them);
* ``set_bus_id(new_id)``: the servo answers on another id, 0 to 253 and not one another servo
  answers on, as a servo whose id register was set to it: every packet addressed to its old id,
  sync reads and writes included, goes unanswered and unheeded, those to the new id reach it.
  ``torso.servo(2)`` still names it, and ``set_bus_id(2)`` moves it back. Its id register
  (address 5) reads the id it answers on; a write to it from the bus is acknowledged but leaves
  it as it is, and ``write`` refuses to change it, so that no two servos ever share an id;
* ``set_position(steps)``: move it by hand; ``set_speed(steps_per_s)``: travel speed with
  torque on (default 3000);
* on the bus: Ping, Read, Write, Reboot (answered, then silent for 30 ms with torque off),
  SyncRead (replies back to back in the listed order) and SyncWrite; a broadcast Write reaches
  every servo without reply; anything else, or a bad checksum, goes unanswered;
* a sync read with a silent or absent servo: the servos before it answer at once, the slot of
  the silent one stays empty, and each servo after it answers only once it has waited 25 ms
  for the missing reply (50 ms after two empty slots, and so on). 25 ms is past the host's
  10 ms read time-out with room for a slow host, so the host times out on the silent servo's
  reply, as on the robot, instead of reading the next servo's reply in its place;
* the host writing again ends an exchange: replies that have not started by then (a servo
  waiting on an empty slot, a delayed reply) are dropped, as a servo waiting for its turn on
  a half-duplex line gives up when the host talks, so a late reply never lands in the middle
  of the next exchange;
* faults: ``set_silent(bool)``; ``corrupt_next_reply()`` (bad checksum); ``delay_next_reply(s)``
  and ``set_reply_delay(s)`` (0.015 s is past the 10 ms time-out); ``set_voltage(tenths)``;
  ``ramp_voltage(start, end, seconds)`` (rises, or falls, linearly); ``set_baud_rate(rate)``
  (one of the servos' rates, 1000000 down to 38400, in its register 6): the servo hears and
  answers only a host whose end of the line is set to that rate. The line starts at 1 Mbaud.

The line, on the torso: ``inject_serial_bytes(data)`` (garbage towards the host),
``set_serial_noise(bytes_per_ms)`` (a continuous stream, 0 stops it), ``unplug()`` (the
pseudo-terminal closes, the device path disappears; without ``serial_link``,
``serial_path`` is None until plugged in again), ``plug_in()`` (a new pseudo-terminal; without
``serial_link`` the path may change), ``plugged``; ``set_supply_voltage(tenths)`` and
``ramp_supply_voltage(start, end, seconds)`` act on every servo.

Motors, ``torso.motor(id)`` -> ``SimMotor``:

* ``state() -> MotorState``: position, velocity, torque, enabled, control_mode,
  last_command (``MitCommand`` with position, velocity, kp, kd, torque, as decoded from the
  last MIT frame, or None), silent, blocked, reply_delay; ``position`` as a shortcut;
* on the bus: enable, disable, set zero and MIT frames on the command id; feedback requests
  and register reads (answered on the feedback id) and writes (echoed) on 0x7FF. Enabled with
  kp > 0, the position settles on the command like a damped joint (about 0.1 s with the
  neck's default gains); enabling holds the motor still until its first command;
* ``set_position(rad)``: multi-turn start position (6.0, -3.2, ...);
  ``set_control_mode(mode)``: register 10 (1 is MIT; in another mode the motor ignores MIT
  frames);
* faults: ``set_silent(bool)`` (neither answers nor acts), ``set_blocked(bool)`` (answers but
  does not move), ``delay_next_reply(s)`` and ``set_reply_delay(s)`` (the motor acts at once
  but its reply leaves that long after the request; 0.025 s is past the host's 20 ms wait, so
  the late frame then sits in the host's receive queue).

The CAN bus behaves for every program under the stand-in as a Linux vcan does for raw
sockets (python-can, loggers, small raw-socket programs alike):

* ``CAN_RAW_FILTER`` (the empty filter included), inverted filters (``CAN_INV_FILTER``),
  ``CAN_RAW_JOIN_FILTERS`` and ``CAN_RAW_ERR_FILTER`` (error frames reach only sockets whose
  mask asks for their class; the default mask is 0) are applied by the torso;
* ``CAN_RAW_LOOPBACK`` (0: no other socket of the host sees the socket's frames, the motors
  still do) and ``CAN_RAW_RECV_OWN_MSGS``; ``recvmsg`` flags carry ``MSG_DONTROUTE`` for a frame
  written on this host and ``MSG_CONFIRM`` as well for the writer's own copy; frames of the
  motors and foreign devices carry neither (python-can's ``is_rx``);
* a writer is not refused for bursts (``poll`` and ``select`` report a CAN socket writable,
  as a vcan's always is); a reader that falls behind loses frames only once what it holds
  unread fills its ``SO_RCVBUF``, and ``SO_RXQ_OVFL`` reports the count lost;
* ``SIOCGIFMTU`` (72, or 16 with ``can_fd=False``), ``SIOCGIFFLAGS`` (up, running, no ARP),
  ``if_nameindex()`` (the real interfaces and the served ones), ``SIOCGSTAMP`` and
  ``SIOCGSTAMPNS`` (time of the last frame read);
* a socket bound to interface index 0 hears every interface served when it binds, is told
  each frame's interface by ``recvfrom``, and ``sendto`` names the target interface (one
  bound to a single interface may name another too);
* when a torso stops, its sockets behave as those of a deleted vcan: a pending read wakes
  with one ``ENETDOWN``, later reads wait (or time out), writes fail with ``ENETDOWN`` or
  ``ENODEV``, and no SIGPIPE is raised.

Not offered: the broadcast manager (``CAN_BCM``; python-can falls back to a thread for
cyclic sending with a modifier callback), and interface discovery through netlink (``ip
link``) or sysfs.

CAN bus, on the torso: ``send_can_frame(can_id, data, *, extended=False, fd=False,
error=False)`` puts a frame from a foreign device on the bus (with ``error``, an error frame
whose class bits are ``can_id``); ``set_foreign_traffic(period=None, before_reply=0,
can_id=0x100, data=bytes(8))`` sends such frames every ``period`` seconds and/or
``before_reply`` of them just before each motor reply. ``set_can_ack(False)`` plays a bus on
which no device acknowledges frames (motors unpowered, CAN-H and CAN-L swapped, no
termination, another bitrate), as a real adapter meets it: what programs write waits in the
interface's transmit queue of 10 frames, and once it is full every write fails with
``ENOBUFS``; the motors receive nothing; each frame tried brings an error frame with
``CAN_ERR_ACK`` to the sockets whose ``CAN_RAW_ERR_FILTER`` asks for it. ``set_can_ack(True)``
sends the queue on, in order; ``can_ack`` tells the state.

Traffic, in bus order: ``servo_traffic() -> list[ServoRecord]`` (time, source "host",
"servo" or "line", servo_id (of a reply: the joint's id, whichever id it answers on), kind,
data; kinds: "packet", "bad_checksum", "junk" from the host, "reply" from a servo, "garbage"
and "noise" on the line) and ``can_traffic() -> list[CanRecord]`` (time, source "client",
"motor" or "foreign", source_id, can_id, extended, rtr, error, fd, flags, data);
``clear_traffic()`` empties both. Times are seconds on the monotonic clock
(``time.monotonic()``).

``preload_path()`` is the path of the SocketCAN stand-in library; ``restart_under_preload()``
starts the running Python program again under it unless it runs so already, and
``preload_active()`` tells which. The console command ``quillet-sim`` runs a torso by hand. The
pytest plugin ``quillet_sim.pytest_plugin`` restarts pytest under the preload.
"""

from quillet_sim._paths import daemon_path, preload_path
from quillet_sim._preload import preload_active, restart_under_preload
from quillet_sim._torso import (
    CanRecord,
    MitCommand,
    MotorState,
    ServoRecord,
    ServoState,
    SimMotor,
    SimServo,
    TorsoError,
    VirtualTorso,
)

__all__ = [
    "CanRecord",
    "MitCommand",
    "MotorState",
    "ServoRecord",
    "ServoState",
    "SimMotor",
    "SimServo",
    "TorsoError",
    "VirtualTorso",
    "daemon_path",
    "preload_active",
    "preload_path",
    "restart_under_preload",
]
