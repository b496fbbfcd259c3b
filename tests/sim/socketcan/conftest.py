"""The SocketCAN stand-in under test: the library, a small broker playing the torso's side of one
interface, and Python programs run with the library preloaded."""

from __future__ import annotations

import collections
import json
import os
import secrets
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
SOURCE = ROOT / "sim" / "socketcan"
ADDRESS_PREFIX = b"\0quillet-sim/can/"
CLASSIC, FD = 16, 72


def _build_library(build_dir: Path) -> str:
    cmake = shutil.which("cmake") or str(Path(sys.executable).with_name("cmake"))
    command = [cmake, "-S", str(SOURCE), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release"]
    ninja = shutil.which("ninja") or str(Path(sys.executable).with_name("ninja"))
    if os.access(ninja, os.X_OK):
        command += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(command, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build_dir)], check=True, capture_output=True)
    return str(build_dir / "libquillet_socketcan.so")


@pytest.fixture(scope="session")
def library(tmp_path_factory: pytest.TempPathFactory) -> str:
    """QUILLET_SOCKETCAN_LIBRARY if set, else the installed one, else one built from source."""
    path = os.environ.get("QUILLET_SOCKETCAN_LIBRARY")
    if not path:
        try:
            from quillet_sim import preload_path

            path = preload_path()
        except (ImportError, FileNotFoundError):
            path = _build_library(tmp_path_factory.mktemp("socketcan-build"))
    assert os.path.isfile(path), path
    return path


HEADER = struct.Struct("=BBHIq16s")  # kind, flags, MTU, drops, time, interface
HELLO, FRAME = 0, 1
LOCAL = 0x02
SETTINGS_TAG = 0x53
TARGETED = (32, 88)


def parse_settings(message: bytes) -> dict:
    _tag, flags, _reserved, error_mask, receive_buffer = struct.unpack_from("=BBHII", message)
    filters = [struct.unpack_from("=II", message, at) for at in range(12, len(message), 8)]
    return {"fd": bool(flags & 1), "loopback": bool(flags & 2), "own": bool(flags & 4),
            "join": bool(flags & 8), "any": bool(flags & 16), "error_mask": error_mask,
            "receive_buffer": receive_buffer, "filters": filters}


class Broker:
    """The torso's side of one interface, as plain as it gets: a hello on every connection, then
    each frame to every other connection with the header (FD frames only to those whose
    settings take them). It records settings and frames, and applies no other setting.
    Connections and settings already queued take effect before any frame is passed on."""

    def __init__(self, name: str, mtu: int = 72) -> None:
        self.name = name
        self.mtu = mtu
        self.settings: list[dict] = []
        self.frames: list[bytes] = []
        self.targeted: list[tuple[str, bytes]] = []
        self._listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self._listener.bind(ADDRESS_PREFIX + name.encode())
        self._listener.listen(64)
        self._listener.setblocking(False)
        self._wake_r, self._wake_w = socket.socketpair()
        self._clients: dict[socket.socket, bool] = {}  # connection -> takes FD frames
        self._idle = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def header(self, kind: int, flags: int = 0) -> bytes:
        return HEADER.pack(kind, flags, self.mtu, 0, time.time_ns(), self.name.encode())

    def _accept_all(self, selector: selectors.BaseSelector) -> None:
        while True:
            try:
                connection, _ = self._listener.accept()
            except BlockingIOError:
                return
            connection.setblocking(False)
            self._clients[connection] = False
            selector.register(connection, selectors.EVENT_READ)
            try:
                connection.send(self.header(HELLO))
            except OSError:
                pass  # a name probe, gone already

    def _pump(self, selector: selectors.BaseSelector) -> None:
        pending: collections.deque[tuple[socket.socket, bytes]] = collections.deque()
        self._accept_all(selector)
        for connection in list(self._clients):
            while True:
                try:
                    message = connection.recv(8192)
                except BlockingIOError:
                    break
                except ConnectionResetError:
                    # The client closed with frames unread; what it sent before still waits.
                    continue
                if not message:
                    selector.unregister(connection)
                    del self._clients[connection]
                    connection.close()
                    break
                if len(message) in (CLASSIC, FD):
                    self.frames.append(message)
                    pending.append((connection, message))
                elif len(message) in TARGETED:
                    self.targeted.append((message[:16].rstrip(b"\0").decode(), message[16:]))
                elif len(message) % 8 == 4 and message[0] == SETTINGS_TAG:
                    self.settings.append(parse_settings(message))
                    self._clients[connection] = self.settings[-1]["fd"]
        for writer, message in pending:
            for reader, takes_fd in self._clients.items():
                if reader is not writer and (len(message) == CLASSIC or takes_fd):
                    try:
                        reader.send(self.header(FRAME, LOCAL) + message, socket.MSG_DONTWAIT)
                    except OSError:
                        pass  # a full or closed reader loses the frame

    def _run(self) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_r, selectors.EVENT_READ)
            while True:
                events = selector.select()
                command = b""
                if any(key.fileobj is self._wake_r for key, _ in events):
                    command = self._wake_r.recv(1)
                    if command == b"x":
                        break
                self._pump(selector)
                if command == b"s" and not self._clients:
                    self._idle.set()
        for connection in self._clients:
            connection.close()
        self._listener.close()

    def wait_idle(self, timeout: float = 5.0) -> None:
        """Waits until every client has gone and its messages are recorded."""
        for _ in range(int(timeout / 0.05)):
            self._idle.clear()
            self._wake_w.send(b"s")
            if self._idle.wait(0.05):
                return
        raise AssertionError("clients still connected")

    def stop(self) -> None:
        if self._thread.is_alive():
            self._wake_w.send(b"x")
            self._thread.join(5)
        self._wake_r.close()
        self._wake_w.close()


def unique_name() -> str:
    return "qt" + secrets.token_hex(5)


@pytest.fixture
def make_broker():
    """Starts brokers for fresh interface names; stops them at the end of the test."""
    started: list[Broker] = []

    def start(mtu: int = 72) -> Broker:
        started.append(Broker(unique_name(), mtu))
        return started[-1]

    yield start
    for served in started:
        served.stop()


@pytest.fixture
def broker(make_broker) -> Broker:
    return make_broker()


PRELUDE = r'''
import ctypes, errno, json, os, socket, struct, subprocess, sys
NAME = sys.argv[1]
SOL_CAN_RAW, CAN_RAW_FD_FRAMES = 101, 5

def can_socket(fd=False, timeout=1.0, bind=True):
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    if fd:
        s.setsockopt(SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
    if bind:
        s.bind((NAME,))
    s.settimeout(timeout)
    return s

def frame(can_id, data=b"", length=None):
    return struct.pack("=IB3x8s", can_id, len(data) if length is None else length, data)

def fd_frame(can_id, data=b"", flags=0, length=None):
    return struct.pack("=IBB2x64s", can_id, len(data) if length is None else length, flags, data)

def received(s, size=72):
    try:
        return s.recv(size).hex()
    except TimeoutError:
        return None

def errno_of(call, *args):
    try:
        call(*args)
    except OSError as error:
        if error.errno == errno.EOPNOTSUPP:  # the same number as ENOTSUP on Linux
            return "EOPNOTSUPP"
        return errno.errorcode.get(error.errno, error.errno)
    return None

def report(**results):
    print(json.dumps(results), flush=True)
'''


def preloaded_command(library: str, body: str, name: str, preload: bool = True):
    env = dict(os.environ)
    # Other preloads stay; the stand-in goes first, or nowhere.
    kept = [
        entry
        for entry in env.pop("LD_PRELOAD", "").replace(":", " ").split()
        if os.path.basename(entry) != os.path.basename(library)
    ]
    if preload:
        kept.insert(0, library)
    if kept:
        env["LD_PRELOAD"] = " ".join(kept)
    return [sys.executable, "-c", PRELUDE + body, name], env


@pytest.fixture
def command(library):
    """The command line and environment that run `body` under the preload."""
    return lambda body, name="", preload=True: preloaded_command(library, body, name, preload)


@pytest.fixture
def run(library):
    """Runs `body` in a Python process under the preload and returns what it report()ed."""

    def run_body(body: str, name: str = "", preload: bool = True) -> dict:
        command, env = preloaded_command(library, body, name, preload)
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout.strip().splitlines()[-1])

    return run_body
