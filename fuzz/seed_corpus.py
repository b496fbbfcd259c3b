"""Writes the seed corpus of each fuzz target: the byte-exact vectors of the unit tests (packet,
transaction, model, MIT, driver and SocketCAN tests), in each target's input layout.

    python fuzz/seed_corpus.py DIR      # DIR/<target>/<n>, one file per seed
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path


def status(ident: int, params: bytes = b"", error: int = 0) -> bytes:
    body = bytes([ident, len(params) + 2, error]) + params
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def can_frame(head_len: int, can_id: int, data: bytes, extended: bool = False, fd: bool = False) -> bytes:
    head = (0x80 if extended else 0) | (0x40 if fd else 0) | (head_len & 0x3F)
    return bytes([head, (can_id >> 8) & 0xFF, can_id & 0xFF]) + data


def classic_struct(word: int, length: int, data: bytes) -> bytes:
    return struct.pack("<IB3x", word, length) + data.ljust(8, b"\0")[:8]


def fd_struct(word: int, length: int, flags: int, data: bytes) -> bytes:
    return struct.pack("<IBB2x", word, length, flags) + data.ljust(64, b"\0")[:64]


def packets(*structs: bytes) -> bytes:
    # A length byte (size - 1, modulo 72) before each packet.
    return b"".join(bytes([len(s) - 1]) + s for s in structs)


def sync_read(ids: bytes, stale: bytes, reply: bytes) -> bytes:
    return bytes([len(ids)]) + ids + bytes([len(stale)]) + stale + reply


SEEDS: dict[str, list[bytes]] = {
    "servo_status": [
        bytes([1]) + status(1),                                   # ping reply, six bytes
        bytes([5]) + status(5, b"\x00\x08"),                      # read of two bytes
        bytes([7]) + status(7, b"\x00\x08", 0x3F),                # every recorded error bit
        bytes([7]) + status(7, b"", 0xE4),
        bytes([9, 255, 255, 1, 2, 0, 12]),                        # checksum mismatch, wrong id
        bytes([1, 0xFF, 0xFF, 1, 2, 0]),                          # five bytes
        bytes([1, 0xFF, 0xFF, 1, 5, 0, 5, 0xF4]),                 # length byte lies
        bytes([5, 0x00, 0xFF, 0x05, 0x04, 0x00, 0x00, 0x08, 0xEE, 0x01, 0x02]),  # bad header
        bytes([1]) + status(1, bytes(253)),                       # longest reply
    ],
    "servo_sync_read": [
        sync_read(b"\x01\x02\x03\x04", b"",
                  status(1, b"\x00\x08") + status(2, b"\x01\x08") + status(3, b"\x02\x08") + status(4, b"\x03\x08")),
        sync_read(b"\x05\x06\x07", status(4, b"\x03\x08"),
                  status(5, b"\x00\x08") + status(6, b"\xff\x0f") + status(7, b"\x00\x00")),
        sync_read(b"\x01\x02\x03\x04", b"\x01\x02\x03",
                  status(1, b"\x00\x08") + status(2, b"\x01\x08")),  # servo 3 silent
        sync_read(b"\x01\x02", b"", status(1, b"\x07") + status(2, b"\x01\x02\x03")),  # wrong widths
        sync_read(b"", b"", b""),
    ],
    "damiao_reply": [
        bytes([0, 0, 0]) + can_frame(8, 1, bytes([0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 31])),
        bytes([0, 0, 1]) + can_frame(8, 2, bytes([0x12, 0, 0, 0, 0, 0, 0, 0]))
        + can_frame(8, 1, bytes([0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0]), extended=True)
        + can_frame(8, 1, bytes([0x11, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 0, 0])),
        bytes([1, 0, 0]) + can_frame(8, 1, bytes([0x01, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 0, 0])),
        bytes([2, 0, 0]) + can_frame(5, 1, bytes([0x11, 0x7F, 0xFF, 0x7F, 0xF7])),  # short reply
        bytes([3, 0x15, 0]) + can_frame(9, 2, bytes([0x02, 0, 0x33, 0x15, 1, 2, 3, 4, 5]))
        + can_frame(7, 1, bytes([0x01, 0, 0x33, 0x15, 1, 2, 3]))
        + can_frame(8, 1, bytes([0x01, 0, 0x55, 0x15, 1, 2, 3, 4]))
        + can_frame(8, 1, bytes([0x01, 0, 0x33, 0x16, 1, 2, 3, 4]))
        + can_frame(8, 1, bytes([0x01, 0, 0x33, 0x15, 0, 0, 0x48, 0x41])),
        bytes([3, 40, 0]) + can_frame(8, 1, bytes([0x01, 0, 0x33, 40, 1, 0, 0, 0])),   # not in the table
        bytes([4, 0, 0]) + can_frame(8, 1, bytes([0x01, 0, 0x33, 10, 1, 0, 0, 0])),    # already MIT
        bytes([4, 0, 0]) + can_frame(8, 1, bytes([0x01, 0, 0x33, 10, 2, 0, 0, 0]))
        + can_frame(8, 1, bytes([0x01, 0, 0x33, 10, 1, 0, 0, 0])),                     # switched to MIT
    ],
    "can_frame": [
        bytes([8]) + packets(
            classic_struct(0x001, 8, bytes([0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 30])),
            classic_struct(0x80000000 | 0x1ABCDEF, 2, b"\xaa\xbb\xcc"),
            classic_struct(0x40000000 | 0x123, 0, b""),
            classic_struct(0x20000000 | 0x004, 8, bytes([0, 0, 4, 0, 0, 0, 0, 0])),
            fd_struct(0x456, 12, 0x01, bytes(range(1, 13))),
            fd_struct(0x80000457, 3, 0x00, b"\x09\x08\x07"),
            classic_struct(0x10, 15, bytes(range(1, 9))),
            fd_struct(0x11, 200, 0, b""),
        ),
        bytes([1]) + packets(b"\x01\x02\x03\x04\x05"),
        bytes([0]) + packets(classic_struct(0x001, 8, bytes([0x11, 0, 0, 0, 0, 0, 0, 0xAA])),
                             classic_struct(0x002, 8, bytes([0x12, 0, 0, 0, 0, 0, 0, 0xBB]))),
    ],
}


def main() -> None:
    root = Path(sys.argv[1])
    for target, seeds in SEEDS.items():
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        for n, seed in enumerate(seeds):
            (folder / f"seed-{n:02d}").write_bytes(seed)


if __name__ == "__main__":
    main()
