"""Fixtures of the virtual torso's tests: torsos, and small independent clients that speak to
them (raw reads and writes on the pseudo-terminal; Python's own AF_CAN sockets under the
SocketCAN stand-in). The test files encode and decode the wire formats themselves, sharing
nothing with the torso or the module."""

from __future__ import annotations

import os
import select
import socket
import time
from collections.abc import Iterator

import pytest

quillet_sim = pytest.importorskip("quillet_sim")


# ---- servo line --------------------------------------------------------------------------------


class SerialClient:
    """The host end of the servo line, opened as a program opens a serial device."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.poller = select.poll()
        self.poller.register(self.fd, select.POLLIN)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def send(self, data: bytes) -> None:
        assert os.write(self.fd, data) == len(data)

    def read(self, size: int, timeout: float = 0.5) -> bytes:
        """Up to `size` bytes, waiting at most `timeout` for them."""
        deadline = time.monotonic() + timeout
        data = b""
        while len(data) < size:
            left = deadline - time.monotonic()
            if left <= 0 or not self.poller.poll(left * 1000):
                break
            try:
                data += os.read(self.fd, size - len(data))
            except BlockingIOError:
                continue
        return data

    def quiet(self, timeout: float = 0.03) -> bytes:
        """Everything that arrives until the line stays quiet for `timeout`."""
        data = b""
        while self.poller.poll(timeout * 1000):
            try:
                chunk = os.read(self.fd, 4096)
            except BlockingIOError:
                continue
            if not chunk:
                break
            data += chunk
        return data

    def exchange(self, packet: bytes, size: int, timeout: float = 0.5) -> bytes:
        self.quiet(0)
        self.send(packet)
        return self.read(size, timeout)


# ---- fixtures -----------------------------------------------------------------------------------


@pytest.fixture
def torso() -> Iterator[quillet_sim.VirtualTorso]:
    with quillet_sim.VirtualTorso() as t:
        yield t


@pytest.fixture
def make_torso() -> Iterator:
    """Starts torsos with the given arguments; stops them all at the end of the test."""
    started = []

    def start(*args, **kwargs):
        t = quillet_sim.VirtualTorso(*args, **kwargs).start()
        started.append(t)
        return t

    yield start
    for t in started:
        t.stop()


@pytest.fixture
def open_serial() -> Iterator:
    """Opens the host end of a servo line: open_serial(path) -> SerialClient."""
    clients = []

    def open_client(path: str) -> SerialClient:
        client = SerialClient(path)
        clients.append(client)
        return client

    yield open_client
    for client in clients:
        client.close()


@pytest.fixture
def serial(torso, open_serial) -> SerialClient:
    return open_serial(torso.serial_path)


@pytest.fixture
def can_sockets() -> Iterator:
    """Opens AF_CAN sockets bound to an interface: can_sockets(interface, fd=False)."""
    opened = []

    def open_socket(interface: str, fd: bool = False) -> socket.socket:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        opened.append(s)
        if fd:
            s.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
        s.bind((interface,))
        return s

    yield open_socket
    for s in opened:
        s.close()
