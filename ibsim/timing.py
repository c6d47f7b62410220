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

    They apply to bars of 30 seconds or less: "Historical Data Limitations for
    barSize = '1 mins' and greater have been lifted" [DOC, Historical Data
    Limitations]. Larger bars are not counted.

    A request breaks them when it is identical to one made within 15 seconds,
    when it is the sixth for the same contract, exchange and tick type within
    2 seconds, or when it is more than the sixtieth within ten minutes. A
    BID_ASK request counts twice. Refused requests count too: they were made.
    The clock is separate from the simulator's market clock, so a test can
    step it without moving the market.
    """

    SMALL_BAR_SECONDS = 30  # bars of this many seconds or less are paced
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
    """How long an answer takes once the gateway serves it: `base` seconds plus `per_bar` a bar.

    The default follows what users measured on live gateways: 1,950 one-minute
    bars in 8.3 s [capture, ib_insync #268]; 7,800 bars in 2.4 s and 8,580 in
    8.8 s [a 2026 measurement]. About 0.2 s a request plus 1 ms a bar sits
    inside that spread.
    """

    base: float = 0.2
    per_bar: float = 0.001

    def __post_init__(self):
        if self.base < 0 or self.per_bar < 0:
            raise ValueError(f"latency must not be negative: {self}")

    def of(self, bars: int) -> float:
        return self.base + self.per_bar * bars

    @classmethod
    def from_text(cls, text: str) -> "Latency":
        """ "FIXED,PER_BAR" in seconds, e.g. "0.2,0.001"; ValueError for anything else."""
        try:
            base, per_bar = (float(part) for part in text.split(","))
        except ValueError:
            raise ValueError(f"latency must be FIXED,PER_BAR in seconds, got {text!r}") from None
        return cls(base, per_bar)


NO_LATENCY = Latency(0.0, 0.0)

# "The maximum number of simultaneous open historical data requests from the
# API is 50." [DOC, Historical Data Limitations] One more is refused with
# "Only 50 simultaneous API historical data requests" [capture, ib_insync #293;
# the code 322 "Error processing request" is modelled].
MAX_OPEN_REQUESTS = 50
# How many requests the gateway works on at once; the rest wait their turn.
# Nothing public measures it: the default is unverified, a guess that IBKR's
# advice ("it will probably be more efficient to have a much smaller number of
# requests pending at a time") reflects a small server-side pool.
DEFAULT_SERVING = 4
