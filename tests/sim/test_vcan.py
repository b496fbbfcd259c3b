"""The virtual torso's CAN bus seen by third-party programs, checked against what a Linux vcan
does: raw sockets from Python's socket module, and python-can where it is installed."""

from __future__ import annotations

import errno
import fcntl
import logging
import socket
import struct
import threading
import time

import pytest

from quillet_sim.pytest_plugin import preload_active

# python-can sets SO_TIMESTAMPNS on every bus, which qemu-user refuses (ENOPROTOOPT).
uses_python_can = pytest.mark.native_only("python-can sets SO_TIMESTAMPNS, which qemu-user refuses")

pytestmark = pytest.mark.skipif(not preload_active(), reason="the SocketCAN stand-in is not preloaded")

CAN_FRAME = struct.Struct("=IB3x8s")
CANFD_FRAME = struct.Struct("=IBB2x64s")
EFF, RTR, ERR = 0x80000000, 0x40000000, 0x20000000
INV_FILTER = 0x20000000
SOL_CAN_RAW = 101
CAN_RAW_FILTER, CAN_RAW_ERR_FILTER, CAN_RAW_LOOPBACK, CAN_RAW_RECV_OWN_MSGS = 1, 2, 3, 4
CAN_RAW_FD_FRAMES, CAN_RAW_JOIN_FILTERS = 5, 6
SO_RXQ_OVFL = 40
SIOCGSTAMP, SIOCGSTAMPNS, SIOCGIFFLAGS, SIOCGIFMTU = 0x8906, 0x8907, 0x8913, 0x8921
IFF_UP, IFF_RUNNING, IFF_NOARP = 0x1, 0x40, 0x80


def frame(can_id: int, data: bytes = b"") -> bytes:
    return CAN_FRAME.pack(can_id, len(data), data.ljust(8, b"\0"))


def ident(raw: bytes) -> int:
    return struct.unpack_from("=I", raw)[0]


def ids(s: socket.socket, timeout: float = 0.05) -> list[int]:
    """The id words of every frame that arrives until the socket stays quiet for `timeout`."""
    s.settimeout(timeout)
    got = []
    while True:
        try:
            got.append(ident(s.recv(72)))
        except TimeoutError:
            return got


def set_filters(s: socket.socket, *filters: tuple[int, int]) -> None:
    s.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, b"".join(struct.pack("=II", *f) for f in filters))


@pytest.fixture
def bus(make_torso):
    return make_torso(servos=False, motors=False)


@pytest.fixture
def sockets(bus, can_sockets):
    """Opens raw sockets on the bare torso's interface."""
    return lambda fd=False: can_sockets(bus.can_interface, fd)


# ---- filters and error frames --------------------------------------------------------------------


def test_filters_decide_what_a_socket_receives(bus, sockets):
    writer, exact, masked, inverted, standard_only, joined, silent, everything = (sockets() for _ in range(8))
    set_filters(exact, (0x123, 0x7FF))
    set_filters(masked, (0x100, 0x700))
    set_filters(inverted, (0x123 | INV_FILTER, 0x7FF))
    set_filters(standard_only, (0x123, 0x7FF | EFF))  # the same 11 bits of an extended id are no match
    set_filters(joined, (0x100, 0x700), (0x020, 0x0F0))
    joined.setsockopt(SOL_CAN_RAW, CAN_RAW_JOIN_FILTERS, 1)
    silent.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, b"")  # what a send-only program sets
    sent = [0x123, 0x1A5, 0x321, 0x123 | EFF, 0x125 | RTR]
    for can_id in sent:
        writer.send(frame(can_id))
    assert ids(exact) == [0x123, 0x123 | EFF]  # a mask without the extended flag takes both
    assert ids(masked) == [0x123, 0x1A5, 0x123 | EFF, 0x125 | RTR]
    assert ids(inverted) == [0x1A5, 0x321, 0x125 | RTR]
    assert ids(standard_only) == [0x123]
    assert ids(joined) == [0x123, 0x123 | EFF, 0x125 | RTR]
    assert ids(silent) == []
    assert ids(everything) == sent
    # Filters changed on a bound socket apply from the next frame on.
    set_filters(silent, (0x321, 0x7FF))
    writer.send(frame(0x321))
    assert ids(silent) == [0x321]


def test_error_frames_reach_only_sockets_whose_mask_asks_for_their_class(bus, sockets):
    default, bus_off, other_class, by_filter = (sockets() for _ in range(4))
    bus_off.setsockopt(SOL_CAN_RAW, CAN_RAW_ERR_FILTER, 0x40)
    other_class.setsockopt(SOL_CAN_RAW, CAN_RAW_ERR_FILTER, 0x04)
    set_filters(by_filter, (0, 0x40 | ERR))
    bus.send_can_frame(0x40, bytes(8), error=True)
    bus.send_can_frame(0x7, b"data")
    assert ids(default) == [0x7]  # the default error mask is 0
    assert ids(bus_off) == [0x40 | ERR, 0x7]
    assert ids(other_class) == [0x7]
    assert ids(by_filter) == [0x40 | ERR]


# ---- loopback and own frames ---------------------------------------------------------------------


def test_loopback_and_own_frames_carry_the_kernels_flags(make_torso, can_sockets):
    torso = make_torso(servos=False)
    writer, reader, quiet = (can_sockets(torso.can_interface) for _ in range(3))
    writer.setsockopt(SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 1)
    writer.send(frame(0x7FF, bytes([1, 0, 0xCC, 0, 0, 0, 0, 0])))  # a feedback request to motor 1

    def flags_by_id(s: socket.socket) -> list[tuple[int, int]]:
        s.settimeout(0.3)
        got = []
        for _ in range(2):
            data, _, flags, _ = s.recvmsg(72, 256)
            got.append((ident(data), flags & (socket.MSG_CONFIRM | socket.MSG_DONTROUTE)))
        return got

    # Own copy: written here; the reader's copy: written on this host; the motor's reply: from the bus.
    assert flags_by_id(writer) == [(0x7FF, socket.MSG_CONFIRM | socket.MSG_DONTROUTE), (1, 0)]
    assert flags_by_id(reader) == [(0x7FF, socket.MSG_DONTROUTE), (1, 0)]
    assert ids(quiet) == [0x7FF, 1]
    quiet.setsockopt(SOL_CAN_RAW, CAN_RAW_LOOPBACK, 0)
    quiet.setsockopt(SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, 1)
    quiet.send(frame(0x7FF, bytes([2, 0, 0xCC, 0, 0, 0, 0, 0])))
    # Without loopback no socket of the host sees the frame, its writer neither, but the motor
    # on the wire does and answers.
    assert ids(reader, 0.3) == [2] and ids(quiet) == [2] and ids(writer) == [2]
    assert [s.getsockopt(SOL_CAN_RAW, o) for s, o in
            ((quiet, CAN_RAW_LOOPBACK), (writer, CAN_RAW_RECV_OWN_MSGS), (reader, CAN_RAW_LOOPBACK))] == [0, 1, 1]


# ---- bursts and receive buffers ------------------------------------------------------------------


@pytest.mark.native_only("qemu-user refuses setsockopt(SO_RXQ_OVFL) (ENOPROTOOPT)")
def test_a_burst_is_taken_whole_and_a_slow_reader_counts_what_it_lost(bus, sockets):
    writer, keeping, small = sockets(), sockets(), sockets()
    keeping.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    small.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    small.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
    writer.setblocking(False)
    sent = 1000
    for i in range(sent):  # regression: a non-blocking writer was refused (EAGAIN) after 278 frames
        writer.send(frame(i & 0x7FF))
    assert len(ids(keeping, 0.2)) == sent  # a buffer large enough holds the whole burst
    received = len(ids(small, 0.2))
    writer.send(frame(0x555))  # after the reader caught up: carries the count of all lost
    small.settimeout(0.3)
    data, ancillary, _, _ = small.recvmsg(72, socket.CMSG_SPACE(4))
    assert ident(data) == 0x555 and [(level, kind) for level, kind, _ in ancillary] == [
        (socket.SOL_SOCKET, SO_RXQ_OVFL)]
    drops = struct.unpack("=I", ancillary[0][2])[0]
    assert 0 < received < sent and received + drops == sent


@uses_python_can
def test_a_python_can_writer_is_never_refused_beside_a_busy_reader(bus):
    can = pytest.importorskip("can")
    sent, refused, heard = 10_000, [], []
    with can.Bus(interface="socketcan", channel=bus.can_interface) as writer, \
            can.Bus(interface="socketcan", channel=bus.can_interface) as reader:
        done = threading.Event()

        def read() -> None:
            while not done.is_set():
                if (message := reader.recv(0.05)) is not None:
                    heard.append(message.arbitration_id)

        listening = threading.Thread(target=read)
        listening.start()
        try:
            for i in range(sent):  # regression: refused "Transmit buffer full" whenever the torso lagged
                try:
                    writer.send(can.Message(arbitration_id=i & 0x7FF, is_extended_id=False, data=bytes(8)))
                except can.CanOperationError as error:
                    refused.append(str(error))
        finally:
            time.sleep(0.2)
            done.set()
            listening.join()
    assert refused == [] and heard  # the reader may lose frames; the writer loses none


# ---- a bus on which nobody acknowledges ----------------------------------------------------------

FEEDBACK_REQUEST = bytes([1, 0, 0xCC, 0, 0, 0, 0, 0])  # to motor 1, on 0x7FF
CAN_ERR_ACK = 0x20


def test_without_acknowledgement_ten_frames_queue_then_writes_fail_and_the_queue_drains_later(make_torso, can_sockets):
    torso = make_torso(servos=False)
    writer, listener, errors = (can_sockets(torso.can_interface) for _ in range(3))
    errors.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, b"")
    errors.setsockopt(SOL_CAN_RAW, CAN_RAW_ERR_FILTER, CAN_ERR_ACK)
    torso.set_can_ack(False)
    assert not torso.can_ack
    outcomes = []
    for i in range(12):
        try:
            writer.send(frame(0x7FF, bytes([1, 0, 0xCC, i, 0, 0, 0, 0])))
            outcomes.append("sent")
        except OSError as error:
            outcomes.append(errno.errorcode[error.errno])
    assert outcomes == ["sent"] * 10 + ["ENOBUFS"] * 2
    assert ids(errors, 0.2) == [ERR | CAN_ERR_ACK] * 10  # one per frame tried
    assert ids(listener) == [] and ids(writer) == []  # no loopback before the frame is on the bus
    assert torso.can_traffic() == [] and torso.motor(1).state().last_command is None

    torso.set_can_ack(True)
    replies = ids(writer, 0.3)
    assert replies == [1] * 10
    sent = [r.data[3] for r in torso.can_traffic() if r.source == "client"]
    assert sent == list(range(10))  # the queue, in order
    writer.send(frame(0x7FF, FEEDBACK_REQUEST))  # the queue has room again
    assert ids(writer, 0.3) == [1]


@uses_python_can
def test_python_can_meets_enobufs_and_ack_errors_as_on_a_real_adapter(make_torso):
    can = pytest.importorskip("can")
    torso = make_torso(servos=False)
    with can.Bus(interface="socketcan", channel=torso.can_interface) as writer, \
            can.Bus(interface="socketcan", channel=torso.can_interface) as other:
        torso.set_can_ack(False)
        request = can.Message(arbitration_id=0x7FF, is_extended_id=False, data=FEEDBACK_REQUEST)
        for _ in range(10):
            writer.send(request)
        with pytest.raises(can.CanOperationError) as refused:
            writer.send(request)
        assert refused.value.error_code == errno.ENOBUFS
        error = other.recv(0.3)  # python-can asks for every error class
        assert error.is_error_frame and error.arbitration_id & CAN_ERR_ACK
        assert writer.recv(0.05).is_error_frame  # its own attempts too, as every socket hears them
        torso.set_can_ack(True)
        reply = other.recv(0.3)
        while reply is not None and (reply.is_error_frame or reply.arbitration_id == 0x7FF):
            reply = other.recv(0.3)
        assert reply is not None and reply.arbitration_id == 1


# ---- interface queries ---------------------------------------------------------------------------


def ifreq(name: str, value: bytes = b"") -> bytes:
    return name.encode().ljust(16, b"\0") + value.ljust(24, b"\0")


def test_interface_queries_answer_as_for_a_vcan(make_torso, can_sockets):
    fd_bus, classic = make_torso(servos=False, motors=False), make_torso(servos=False, motors=False, can_fd=False)
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    with probe:
        mtus = [struct.unpack_from("=i", fcntl.ioctl(probe, SIOCGIFMTU, ifreq(t.can_interface)), 16)[0]
                for t in (fd_bus, classic)]
        flags = struct.unpack_from("=H", fcntl.ioctl(probe, SIOCGIFFLAGS, ifreq(fd_bus.can_interface)), 16)[0]
    assert mtus == [72, 16]
    assert flags == IFF_UP | IFF_RUNNING | IFF_NOARP
    listed = dict((name, index) for index, name in socket.if_nameindex())
    assert "lo" in listed and listed[fd_bus.can_interface] == socket.if_nametoindex(fd_bus.can_interface)
    writer = can_sockets(classic.can_interface, fd=True)
    with pytest.raises(OSError) as refused:  # FD frames need an interface with the larger MTU
        writer.send(CANFD_FRAME.pack(0x10, 1, 0, b"x".ljust(64, b"\0")))
    assert refused.value.errno == errno.EINVAL


def test_the_last_frames_time_is_told_by_siocgstamp(bus, sockets):
    writer, reader = sockets(), sockets()
    with pytest.raises(OSError) as none_yet:
        fcntl.ioctl(reader, SIOCGSTAMP, bytes(16))
    assert none_yet.value.errno == errno.ENOENT
    before = time.time()
    writer.send(frame(0x1))
    reader.settimeout(0.3)
    reader.recv(72)
    after = time.time()
    seconds, micros = struct.unpack("=qq", fcntl.ioctl(reader, SIOCGSTAMP, bytes(16)))
    seconds_ns, nanos = struct.unpack("=qq", fcntl.ioctl(reader, SIOCGSTAMPNS, bytes(16)))
    assert before <= seconds + micros / 1e6 <= after
    assert (seconds_ns, nanos // 1000) == (seconds, micros)


# ---- every interface at once ---------------------------------------------------------------------


def test_a_socket_bound_to_every_interface_hears_all_and_sends_where_told(make_torso, can_sockets):
    first, second = make_torso(servos=False), make_torso(servos=False)
    ours = {first.can_interface, second.can_interface}
    everywhere = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)

    def heard(count: int) -> list[tuple[str, int, bytes]]:
        """The next frames from our torsos: other torsos of the host may talk too (and keep the
        socket from ever timing out: the wait has a deadline of its own)."""
        everywhere.settimeout(0.3)
        got = []
        deadline = time.monotonic() + 5
        while len(got) < count:
            assert time.monotonic() < deadline, f"heard only {got} from {sorted(ours)}"
            data, (interface, *_) = everywhere.recvfrom(72)
            if interface in ours:
                got.append((interface, ident(data), data[8:8 + data[4]]))
        return got

    with everywhere:
        everywhere.bind(("",))
        set_filters(everywhere, (0x42, 0x7FF), (0x1, 0x7FF))
        assert everywhere.getsockname() == ("",)
        with pytest.raises(OSError) as nowhere:
            everywhere.send(frame(0x42))
        assert nowhere.value.errno == errno.ENXIO
        one, other = can_sockets(first.can_interface), can_sockets(second.can_interface)
        one.send(frame(0x42, b"one"))
        other.send(frame(0x42, b"other"))
        assert sorted(heard(2)) == sorted([(first.can_interface, 0x42, b"one"), (second.can_interface, 0x42, b"other")])
        everywhere.sendto(frame(0x1, bytes.fromhex("fffffffffffffffc")), (second.can_interface,))
        assert ids(other, 0.3) == [0x1, 0x1]  # the enable frame, then motor 1's answer
        assert ids(one) == []
        assert second.motor(1).state().enabled and not first.motor(1).state().enabled
        assert [(interface, can_id) for interface, can_id, _ in heard(1)] == [(second.can_interface, 0x1)]


def test_bind_and_filters_hold_for_every_frame_sent_once_the_call_returns(make_torso, can_sockets):
    # Before, the torsos applied them a moment later: such a frame was lost or passed the old filters.
    first, second = make_torso(servos=False, motors=False), make_torso(servos=False, motors=False)
    other, talker, listener = can_sockets(second.can_interface), can_sockets(first.can_interface), can_sockets(first.can_interface)
    talker.setsockopt(SOL_CAN_RAW, CAN_RAW_FILTER, b"")
    for n in range(50):
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as everywhere:
            everywhere.bind(("",))
            set_filters(everywhere, (0x500 + n, 0x7FF))
            other.send(frame(0x500 + n))
            everywhere.settimeout(1)
            data, (interface, *_) = everywhere.recvfrom(72)
            assert (interface, ident(data)) == (second.can_interface, 0x500 + n), f"bind number {n}"
    for n in range(1, 200):
        listener.send(frame(0x300))  # queued ahead of its new filters
        set_filters(listener, (0x100 + n, 0x7FF))
        talker.send(frame(0x100 + n - 1, b"late"))  # only the old filters pass it
        talker.send(frame(0x100 + n, b"new"))
    heard = []
    listener.settimeout(0.3)
    with pytest.raises(TimeoutError):
        while True:
            data = listener.recv(72)
            heard.append((ident(data), data[8:8 + data[4]]))
    assert (0x100 + 199, b"new") in heard and not [h for h in heard if h[1] == b"late"]


# ---- a torso that stops --------------------------------------------------------------------------


def test_a_stopped_torsos_sockets_behave_as_those_of_a_deleted_vcan(make_torso, can_sockets):
    torso = make_torso(servos=False, motors=False)
    waiting, idle = can_sockets(torso.can_interface), can_sockets(torso.can_interface)
    woken: list[int | None] = []

    def wait() -> None:
        waiting.settimeout(5)
        try:
            waiting.recv(72)
            woken.append(None)
        except OSError as error:
            woken.append(error.errno)

    reader = threading.Thread(target=wait)
    reader.start()
    time.sleep(0.05)
    torso.stop()
    reader.join()
    assert woken == [errno.ENETDOWN]
    waiting.settimeout(0.05)
    with pytest.raises(TimeoutError):  # from now on reads wait, as on an unbound socket
        waiting.recv(72)
    errors = []
    for s in (waiting, idle, idle):
        try:
            s.send(frame(0x1))
        except OSError as error:
            errors.append(errno.errorcode[error.errno])
    # The first write learns that the interface went down, later ones that it is gone; never EPIPE.
    assert errors == ["ENODEV", "ENETDOWN", "ENODEV"]


# ---- python-can ----------------------------------------------------------------------------------


@uses_python_can
def test_python_can_buses_on_the_torso(bus, caplog):
    can = pytest.importorskip("can")
    caplog.set_level(logging.WARNING)
    with can.Bus(interface="socketcan", channel=bus.can_interface, receive_own_messages=True,
                 can_filters=[{"can_id": 0x100, "can_mask": 0x700}]) as own, \
            can.Bus(interface="socketcan", channel=bus.can_interface) as other, \
            can.Bus(interface="socketcan", channel=bus.can_interface, local_loopback=False) as mute:
        assert caplog.records == []  # regression: every bus logged two errors at start
        own.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x01"))
        own.send(can.Message(arbitration_id=0x223, is_extended_id=False))
        mine = own.recv(0.3)
        theirs = [other.recv(0.3), other.recv(0.3)]
        assert (mine.arbitration_id, mine.is_rx, own.recv(0.05)) == (0x123, False, None)
        # Written on this host: not received from the bus, as on a vcan.
        assert [(m.arbitration_id, m.is_rx, m.channel) for m in theirs] == [
            (0x123, False, bus.can_interface), (0x223, False, bus.can_interface)]
        bus.send_can_frame(0x126)
        assert other.recv(0.3).is_rx  # a device's frame
        mute.send(can.Message(arbitration_id=0x124, is_extended_id=False))
        assert other.recv(0.1) is None
        bus.send_can_frame(0x4, bytes(8), error=True)
        assert other.recv(0.3).is_error_frame  # python-can asks for every error class
        with can.Bus(interface="socketcan", channel="") as everywhere:
            everywhere.send(can.Message(arbitration_id=0x125, is_extended_id=False, channel=bus.can_interface))
            received = other.recv(0.3)
            assert (received.arbitration_id, received.channel) == (0x125, bus.can_interface)
