"""How fast the gateway lets history be fetched: pacing limits and answer latency."""

import time
from collections import deque
from collections.abc import Callable, Hashable
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class _Made:
    at: float
    request: Hashable
    contract: Hashable
    weight: int


class Pacing:
    """IBKR's historical-data pacing limits, counted on a monotonic clock of their own.

    A request breaks them when it is identical to one made within 15 seconds,
    when it is the sixth for the same contract, exchange and tick type within
    2 seconds, or when it is more than the sixtieth within ten minutes. A
    BID_ASK request counts twice. Refused requests count too: they were made.
    The clock is separate from the simulator's market clock, so a test can
    step it without moving the market.
    """

    IDENTICAL_SECONDS = 15.0
    BURST_SECONDS, BURST_LIMIT = 2.0, 6
    WINDOW_SECONDS, WINDOW_LIMIT = 600.0, 60

    def __init__(self, clock: Callable[[], float] = time.monotonic):
        self.clock = clock
        self._made: deque[_Made] = deque()

    def admit(self, request: Hashable, contract: Hashable, weight: int = 1) -> bool:
        """Record a request; False when it breaks a limit."""
        now = self.clock()
        while self._made and now - self._made[0].at >= self.WINDOW_SECONDS:
            self._made.popleft()
        broken = self._breaks(now, request, contract, weight)
        self._made.append(_Made(now, request, contract, weight))
        return not broken

    def _breaks(self, now: float, request: Hashable, contract: Hashable, weight: int) -> bool:
        recent = [m for m in self._made if now - m.at < self.BURST_SECONDS and m.contract == contract]
        return (
            any(m.request == request and now - m.at < self.IDENTICAL_SECONDS for m in self._made)
            or sum(m.weight for m in recent) + weight >= self.BURST_LIMIT
            or sum(m.weight for m in self._made) + weight > self.WINDOW_LIMIT
        )


@dataclass(frozen=True)
class Latency:
    """How long an answer takes: `base` seconds plus `per_bar` for each bar.

    A real gateway takes from a quarter of a second to many seconds (1,950
    one-minute bars took 8.3 s); the default is a small fraction of that, so
    that timeouts and elapsed-time lines are exercised while a demo stays snappy.
    """

    base: float = 0.02
    per_bar: float = 0.00005

    def __post_init__(self):
        if self.base < 0 or self.per_bar < 0:
            raise ValueError(f"latency must not be negative: {self}")

    def of(self, bars: int) -> float:
        return self.base + self.per_bar * bars


NO_LATENCY = Latency(0.0, 0.0)
