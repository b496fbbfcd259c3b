"""The CSV file of a monitor run: one row per position read and one per timing sample.

Columns: ``kind``, ``timestamp``, the ten joints in the module's order (left arm pitch and yaw,
right arm pitch and yaw, nose top, left and right, neck yaw, pitch and roll), ``seconds``.

* ``kind`` "position": ``timestamp`` is the read's wall-clock time (seconds since the epoch, as
  the loop stamps it) and the ten joint columns its positions in radians; ``seconds`` is empty.
* ``kind`` "period", "read_dt" or "write_dt": one timing sample of the loop, in ``seconds``;
  the other columns are empty. The samples appear in the loop's order.
"""

from __future__ import annotations

import csv
import math
import os
from dataclasses import dataclass, field
from typing import IO, Any, Iterable

JOINTS = (
    "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
    "nose_top", "nose_left", "nose_right",
    "neck_yaw", "neck_pitch", "neck_roll",
)
SAMPLE_KINDS = ("period", "read_dt", "write_dt")
POSITION = "position"
COLUMNS = ("kind", "timestamp", *JOINTS, "seconds")


def joint_values(position: Any) -> list[float]:
    """The ten positions of a QuilletTorsoPosition, in column order."""
    return [*position.left_arm, *position.right_arm, *position.nose, *position.neck]


class Recorder:
    """Writes a recording as it is made; rows reach the file at each flush and at close."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._file: IO[str] = open(path, "w", newline="", encoding="utf-8")
        self._writer = csv.writer(self._file)
        self._writer.writerow(COLUMNS)
        self.positions = 0

    def position(self, timestamp: float, values: Iterable[float]) -> None:
        self._writer.writerow([POSITION, repr(timestamp), *map(repr, values), ""])
        self.positions += 1

    def samples(self, kind: str, values: Iterable[float]) -> None:
        blanks = [""] * (len(JOINTS) + 1)
        self._writer.writerows([kind, *blanks, repr(v)] for v in values)

    def flush(self) -> None:
        self._file.flush()

    def close(self) -> None:
        self._file.close()


@dataclass
class Recording:
    times: list[float] = field(default_factory=list)  # wall-clock seconds
    positions: dict[str, list[float]] = field(default_factory=lambda: {j: [] for j in JOINTS})
    samples: dict[str, list[float]] = field(default_factory=lambda: {k: [] for k in SAMPLE_KINDS})


class RecordingError(ValueError):
    pass


def read_recording(path: str | os.PathLike[str]) -> Recording:
    """Reads a recording; RecordingError names the first line that is not one."""
    recording = Recording()
    with open(path, newline="", encoding="utf-8") as file:
        rows = csv.reader(file)
        header = next(rows, None)
        if header is None or tuple(header) != COLUMNS:
            raise RecordingError(f"{path}: not a quillet-monitor recording (its first line is not the header "
                                 f"{','.join(COLUMNS)})")
        for line, row in enumerate(rows, start=2):
            try:
                if len(row) != len(COLUMNS):
                    raise ValueError(f"{len(row)} columns instead of {len(COLUMNS)}")
                kind = row[0]
                if kind == POSITION:
                    recording.times.append(float(row[1]))
                    for joint, text in zip(JOINTS, row[2:-1]):
                        recording.positions[joint].append(float(text))
                elif kind in SAMPLE_KINDS:
                    value = float(row[-1])
                    if not math.isfinite(value):
                        raise ValueError(f"sample {row[-1]}")
                    recording.samples[kind].append(value)
                else:
                    raise ValueError(f"unknown kind {kind!r}")
            except ValueError as error:
                raise RecordingError(f"{path}, line {line}: {error}") from None
    return recording
