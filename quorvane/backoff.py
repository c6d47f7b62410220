"""Waits that grow after each failure in a row: the first, then times the factor, up to the cap."""

from __future__ import annotations

import math


class Backoff:
    """`next()` is the wait before the next try; `reset()` after a success starts over at `first`."""

    def __init__(self, first: float, factor: float = 2.0, cap: float = math.inf) -> None:
        self.first = first
        self.factor = factor
        self.cap = cap
        self._coming = first

    def next(self) -> float:
        wait = self._coming
        self._coming = min(wait * self.factor, self.cap)
        return wait

    def reset(self) -> None:
        self._coming = self.first
