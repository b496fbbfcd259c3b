"""Raw CAN sockets under the stand-in, seen from Python's own socket module and from C calls."""

from __future__ import annotations

import json
import subprocess

import pytest


def test_frames_reach_every_other_socket_but_not_their_writer(broker, run):
    got = run(
        r'''
a, b, c = can_socket(), can_socket(), can_socket(timeout=0.2)
a.send(frame(0x123, b"\x01\x02\x03"))
b.send(frame(0x80000456, b"\xff" * 8))
report(a=[received(a), received(a)], b=[received(b), received(b)],
       c=[received(c), received(c), received(c)])
''',
        broker.name,
    )
    from_a = "23010000030000000102030000000000"
    from_b = "56040080" + "08000000" + "ff" * 8
    assert got["a"] == [from_b, None]
    assert got["b"] == [from_a, None]
    assert got["c"] == [from_a, from_b, None]
    broker.wait_idle()
    assert [f.hex() for f in broker.frames] == [from_a, from_b]


def test_fd_frames_reach_only_sockets_that_enabled_them(broker, run):
    got = run(
        r'''
writer, classic, fd = can_socket(fd=True), can_socket(timeout=0.2), can_socket(fd=True)
writer.send(fd_frame(0x10, b"\xaa" * 12, flags=1))
writer.send(frame(0x11, b"\xbb"))
report(classic=[received(classic), received(classic)], fd=[received(fd), received(fd)])
''',
        broker.name,
    )
    fd_bytes = "10000000" + "0c010000" + "aa" * 12 + "00" * 52
    classic_bytes = "11000000" + "01000000" + "bb" + "00" * 7
    assert got["classic"] == [classic_bytes, None]
    assert got["fd"] == [fd_bytes, classic_bytes]


@pytest.mark.parametrize(
    ("body", "sent"),
    [
        # Enabled before bind: told once the connection stands.
        ("s = can_socket(fd=True)", [True]),
        ("s = can_socket()", [False]),
        (
            "s = can_socket()\n"
            "s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)\n"
            "s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 0)",
            [False, True, False],
        ),
        # Set and cleared before bind: only the last word counts.
        (
            "s = can_socket(bind=False)\n"
            "s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)\n"
            "s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 0)\n"
            "s.bind((NAME,))",
            [False],
        ),
    ],
)
def test_settings_follow_the_socket(broker, run, body, sent):
    got = run(body + "\nreport(fd=s.getsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES))", broker.name)
    assert got["fd"] == sent[-1]
    broker.wait_idle()
    assert [settings["fd"] for settings in broker.settings] == sent
    assert broker.settings[0] == {
        "fd": sent[0], "loopback": True, "own": False, "join": False, "any": False,
        "error_mask": 0, "receive_buffer": broker.settings[0]["receive_buffer"], "filters": [(0, 0)],
    }
    assert broker.settings[0]["receive_buffer"] > 0


def test_receive_time_out_reads_as_eagain(broker, run):
    got = run(
        r'''
s = can_socket(timeout=None)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, struct.pack("@ll", 0, 50000))
n = can_socket(timeout=0.0)
t = can_socket(timeout=0.05)
try:
    timeout = t.recv(16).hex()
except TimeoutError:
    timeout = "TimeoutError"
report(blocking=errno_of(s.recv, 16), nonblocking=errno_of(n.recv, 16), timeout=timeout)
''',
        broker.name,
    )
    assert got == {"blocking": "EAGAIN", "nonblocking": "EAGAIN", "timeout": "TimeoutError"}


def test_served_name_gets_a_stable_index_and_answers_to_it(broker, run):
    got = run(
        r'''
index = socket.if_nametoindex(NAME)
a, b = can_socket(), can_socket()
a.send(frame(1))
data, source = b.recvfrom(16)
report(index=index, again=socket.if_nametoindex(NAME), name=socket.if_indextoname(index),
       sockname=list(a.getsockname()), source=list(source),
       kind=[a.getsockopt(socket.SOL_SOCKET, o) for o in
             (socket.SO_DOMAIN, socket.SO_TYPE, socket.SO_PROTOCOL)],
       peer=errno_of(a.getpeername))
''',
        broker.name,
    )
    assert got["index"] > 0 and got["again"] == got["index"]
    assert got["name"] == broker.name
    assert got["sockname"] == got["source"] == [broker.name]
    assert got["kind"] == [29, 3, 1]  # AF_CAN, SOCK_RAW, CAN_RAW
    assert got["peer"] == "EOPNOTSUPP"


NAME_LOOKUPS = r'''
def lookup(name):
    try:
        return socket.if_nametoindex(name)
    except OSError as error:
        return [type(error).__name__, str(error)]
report(can0=lookup("can0"), lo=lookup("lo"), bcm=errno_of(socket.socket, socket.AF_CAN,
       socket.SOCK_DGRAM, socket.CAN_BCM), udp=errno_of(socket.socket, socket.AF_INET,
       socket.SOCK_DGRAM))
'''


def test_names_no_torso_serves_behave_as_without_the_preload(run):
    assert run(NAME_LOOKUPS, preload=True) == run(NAME_LOOKUPS, preload=False)
    got = run(
        r'''
s = can_socket(bind=False)
report(can0=errno_of(s.bind, ("can0",)), lo=errno_of(s.bind, ("lo",)),
       gone=errno_of(s.bind, ("qt-nobody",)))
'''
    )
    assert got == {
        "can0": "ENODEV",
        "lo": "ENODEV",  # a real interface, but no CAN one
        "gone": "ENODEV",
    }


@pytest.mark.parametrize(
    ("setup", "sent", "error"),
    [
        ("can_socket()", "frame(1)[:8]", "EINVAL"),  # neither classic nor FD size
        ("can_socket()", "fd_frame(1, b'x')", "EINVAL"),  # FD frame without FD enabled
        ("can_socket()", "frame(1, length=9)", "EINVAL"),
        ("can_socket(fd=True)", "fd_frame(1, length=65)", "EINVAL"),
        ("can_socket(fd=True)", "b'\\x01'", "EINVAL"),  # not a frame at all
        ("can_socket(bind=False)", "frame(1)", "ENXIO"),  # not bound to any interface
    ],
)
def test_writes_the_kernel_refuses_are_refused(broker, run, setup, sent, error):
    got = run(
        f"s = {setup}\n"
        f"report(send=errno_of(s.send, {sent}), write=errno_of(os.write, s.fileno(), {sent}))",
        broker.name,
    )
    assert got == {"send": error, "write": error}
    broker.wait_idle()
    assert broker.frames == [] and broker.targeted == []


def test_sendto_names_the_target_interface(make_broker, run):
    broker, other, classic = make_broker(), make_broker(), make_broker(mtu=16)
    got = run(
            r'''
a, b = can_socket(fd=True), can_socket()
report(own=errno_of(a.sendto, frame(7), (NAME,)), got=received(b),
       other=errno_of(a.sendto, frame(8), (OTHER,)), fd_other=errno_of(a.sendto, fd_frame(9), (OTHER,)),
       fd_classic=errno_of(a.sendto, fd_frame(9), (CLASSIC,)),
       unbound=errno_of(can_socket(bind=False).sendto, frame(1), (NAME,)),
       rebind_same=errno_of(a.bind, (NAME,)), rebind_other=errno_of(a.bind, (OTHER,)))
'''.replace("OTHER", repr(other.name)).replace("CLASSIC", repr(classic.name)),
        broker.name,
    )
    assert got == {
        "own": None, "got": "07000000" + "00" * 12, "other": None, "fd_other": None,
        "fd_classic": "EINVAL",  # FD frames only where the MTU takes them
        "unbound": "ENXIO", "rebind_same": None, "rebind_other": "EOPNOTSUPP",
    }
    broker.wait_idle()
    # The torso the socket is bound to carries frames for the others.
    assert [(name, frame.hex()) for name, frame in broker.targeted] == [
        (other.name, "08000000" + "00" * 12), (other.name, "09" + "00" * 71)]


def test_raw_options_are_kept_and_told_to_the_broker(broker, run):
    got = run(
        r'''
s = can_socket()
def set_option(name, value):
    return errno_of(s.setsockopt, SOL_CAN_RAW, name, value)
filters = struct.pack("=IIII", 0x123, 0x7ff, 0x20000200, 0x1fffff00)
results = dict(filter=set_option(1, filters), err_filter=set_option(2, struct.pack("=I", 0xffffffff)),
       loopback=set_option(3, 0), own=set_option(4, 1), join=set_option(6, 1), xl=set_option(7, 1),
       odd_filter=set_option(1, b"x" * 12), many_filters=set_option(1, bytes(8 * 513)),
       short_mask=set_option(2, b"\x01\x00"))
def get_option(name, size=4):
    try:
        return s.getsockopt(SOL_CAN_RAW, name, size).hex()
    except OSError as error:
        return errno.errorcode[error.errno]
report(**results, got_filters=get_option(1, 64), short_filters=get_option(1, 8),
       got_err=get_option(2), got_loopback=get_option(3), got_own=get_option(4), got_join=get_option(6))
s.setsockopt(SOL_CAN_RAW, 1, b"")  # receive nothing at all
''',
        broker.name,
    )
    assert got == {
        "filter": None, "err_filter": None, "loopback": None, "own": None, "join": None,
        "xl": "ENOPROTOOPT", "odd_filter": "EINVAL", "many_filters": "EINVAL", "short_mask": "EINVAL",
        "got_filters": "23010000ff070000" + "00020020" + "00ffff1f", "short_filters": "ERANGE",
        "got_err": "ffffff1f", "got_loopback": "00000000", "got_own": "01000000", "got_join": "01000000",
    }
    broker.wait_idle()
    last = broker.settings[-2]
    assert (last["loopback"], last["own"], last["join"], last["error_mask"]) == (False, True, True, 0x1FFFFFFF)
    assert last["filters"] == [(0x123, 0x7FF), (0x20000200, 0x1FFFFF00)]
    assert broker.settings[-1]["filters"] == []


def test_closed_and_duplicated_descriptors(broker, run):
    got = run(
        r'''
s = can_socket()
number = s.fileno()
s.close()
r, w = os.pipe()  # takes the number back
reused = number in (r, w)
os.write(w, b"abc")  # a CAN record left behind would refuse this size
os.close(w)
pipe = [os.read(r, 8).hex(), os.read(r, 8).hex()]  # and take end of file for a dead torso
os.close(r)
a, b = can_socket(), can_socket()
copy = a.dup()
a.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
copy.send(frame(2))
report(reused=reused, pipe=pipe, copy_fd=copy.getsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES),
       got=received(b), copy_name=list(copy.getsockname()))
''',
        broker.name,
    )
    assert got == {
        "reused": True, "pipe": ["616263", ""], "copy_fd": 1,
        "got": "02000000" + "00" * 12, "copy_name": [broker.name],
    }


def test_child_process_leaves_the_parents_sockets_known(broker, run):
    # Regression: a vfork child's close_range() erased the parent's records of its sockets.
    got = run(
        r'''
s = can_socket()
subprocess.run(["true"], check=True)
s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
report(fd=s.getsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES), name=list(s.getsockname()))
''',
        broker.name,
    )
    assert got == {"fd": 1, "name": [broker.name]}


def test_torso_going_away_reads_as_a_deleted_interface(broker, command):
    argv, env = command(
        r'''
import select, signal, threading
signal.signal(signal.SIGPIPE, lambda *_: print("SIGPIPE", flush=True))
s, idle = can_socket(timeout=5.0), can_socket(timeout=0.1)
pending = {}
reader = threading.Thread(target=lambda: pending.update(recv=errno_of(s.recv, 16)))
reader.start()
print("bound", flush=True)
sys.stdin.readline()
reader.join()
def again():
    try:
        s.settimeout(0.1)
        return s.recv(16).hex()
    except TimeoutError:
        return "timed out"
report(**pending, again=again(), readable=bool(select.select([s], [], [], 0)[0]),
       send=errno_of(s.send, frame(1)), idle_send=errno_of(idle.send, frame(1)),
       idle_recv=errno_of(idle.recv, 16), later=errno_of(idle.send, frame(1)))
''',
        broker.name,
    )
    with subprocess.Popen(argv, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True) as child:
        assert child.stdout.readline().strip() == "bound"
        broker.stop()
        out, _ = child.communicate("go\n", timeout=30)
    # A pending read wakes with ENETDOWN once, later reads wait; writes never see EPIPE.
    assert out.splitlines() == [json.dumps({
        "recv": "ENETDOWN", "again": "timed out", "readable": False, "send": "ENODEV",
        "idle_send": "ENETDOWN", "idle_recv": None, "later": "ENODEV"})]


def test_c_callers_see_the_kernels_calls(broker, run):
    """The sequence a C++ transport makes: libc calls with the kernel's structures."""
    got = run(
        r'''
libc = ctypes.CDLL(None, use_errno=True)
def check(result):
    if result < 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
    return result
index = check(libc.if_nametoindex(NAME.encode()))
def open_can():
    fd = check(libc.socket(29, 3, 1))
    address = struct.pack("=HxxiQQ", 29, index, 0, 0)
    check(libc.bind(fd, address, len(address)))
    check(libc.setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, struct.pack("i", 1), 4))
    check(libc.setsockopt(fd, socket.SOL_SOCKET, socket.SO_RCVTIMEO,
                          struct.pack("@ll", 0, 20000), 16))
    return fd
a, b = open_can(), open_can()
buffer = ctypes.create_string_buffer(72)
sent = check(libc.write(a, frame(0x201, b"\x11" * 8), 16))
got = check(libc.read(b, buffer, 72))
timed_out = libc.read(a, buffer, 72), errno.errorcode[ctypes.get_errno()]
check(libc.close(a))
closed = libc.write(a, frame(1), 16), errno.errorcode[ctypes.get_errno()]
report(sent=sent, got=buffer.raw[:got].hex(), timed_out=list(timed_out), closed=list(closed))
''',
        broker.name,
    )
    assert got == {
        "sent": 16, "got": "01020000" + "08000000" + "11" * 8,
        "timed_out": [-1, "EAGAIN"], "closed": [-1, "EBADF"],
    }


def test_sockets_opened_and_closed_from_many_threads(broker, run):
    # Each socket closes with frames of the others unread: the broker sees a reset first and
    # must still pass on what the socket sent. The listener's queue holds about 200 frames, so
    # the count stays below what a slow listener could lose.
    got = run(
        r'''
import threading
listener = can_socket(timeout=2.0)
failures = []
def churn(number):
    try:
        for _ in range(20):
            s = can_socket(fd=number % 2 == 0)
            s.send(frame(number))
            copy = s.dup()
            s.close()
            copy.close()
    except OSError as error:
        failures.append(repr(error))
heard = []
def listen():
    while len(heard) < 160 and (got := received(listener)) is not None:
        heard.append(struct.unpack_from("=I", bytes.fromhex(got))[0])
threads = [threading.Thread(target=churn, args=(n,)) for n in range(8)]
threads.append(threading.Thread(target=listen))
for t in threads: t.start()
for t in threads: t.join()
report(failures=failures, heard=len(heard), ids=sorted(set(heard)))
''',
        broker.name,
    )
    assert got == {"failures": [], "heard": 160, "ids": list(range(8))}
