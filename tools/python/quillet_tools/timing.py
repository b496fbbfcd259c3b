"""Summaries of the loop's timing samples, shared by the monitor and the plot."""

from __future__ import annotations

import math
from collections import Counter
from typing import Sequence


def percentile(values: Sequence[float], p: float) -> float:
    """The nearest-rank p-th percentile (0 < p <= 100); NaN for no value."""
    if not values:
        return math.nan
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


def median(values: Sequence[float]) -> float:
    return percentile(values, 50)


class Tally:
    """Samples in seconds counted per whole microsecond, the finest step the figures print:
    the percentiles of a run of any length, in memory bounded by the spread of its values."""

    def __init__(self) -> None:
        self.counts: Counter[int] = Counter()
        self.total = 0

    def add(self, samples: Sequence[float]) -> None:
        self.counts.update(round(s * 1e6) for s in samples)
        self.total += len(samples)

    def percentile(self, p: float) -> float:
        """As percentile() of the samples rounded to the microsecond; NaN for no sample."""
        if not self.total:
            return math.nan
        rank = max(1, math.ceil(p / 100 * self.total))
        below = 0
        for us in sorted(self.counts):
            below += self.counts[us]
            if below >= rank:
                return us / 1e6
        raise AssertionError("the counts add up to the total")


def ms(seconds: float) -> str:
    """"2.013 ms"; "-" when there is no value."""
    return "-" if math.isnan(seconds) else f"{seconds * 1e3:.3f} ms"


def parse_duration(text: str) -> float:
    """Seconds from "2ms", "500us", "0.5s"; ValueError for anything else or for zero."""
    stripped = text.strip().lower()
    for unit, scale in (("us", 1e-6), ("µs", 1e-6), ("ms", 1e-3), ("s", 1.0)):
        if stripped.endswith(unit):
            number = stripped[: -len(unit)].strip()
            break
    else:
        raise ValueError(f"{text!r}: give a unit, for example 2ms, 500us or 0.01s")
    try:
        seconds = float(number) * scale
    except ValueError:
        raise ValueError(f"{text!r} is not a duration") from None
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError(f"{text!r}: a duration must be greater than zero")
    return seconds
