"""Keeping a gateway's historical-data pacing limits on the host's side.

A gateway refuses with 162 "pacing violation" a request identical to one made within 15 s, the
sixth request for one contract, exchange and tick type within 2 s, and a request beyond the 60th in
ten minutes (a BID_ASK request counts twice). The host keeps those limits itself: requests take
their turn one at a time, each as soon as the limits allow, and one that has to wait says so.

The record of what was sent (a ledger) lives in this process by default; a desk that runs several
terminals against one gateway shares one ledger through Redis.
"""

from __future__ import annotations

import asyncio
import math
import time
from collections import deque
from collections.abc import Awaitable, Callable, Hashable
from dataclasses import dataclass
from typing import Protocol

from loguru import logger


@dataclass(frozen=True)
class PacingLimits:
    identical_seconds: float = 15.0  # no identical request within this
    burst_seconds: float = 2.0
    burst_limit: int = 5  # most requests for one contract in any `burst_seconds`
    window_seconds: float = 600.0
    window_limit: int = 60  # most requests in any `window_seconds`
    # Added to every span: the gateway counts requests as they arrive, not as they leave.
    margin: float = 0.25


@dataclass(frozen=True, slots=True)
class Sent:
    at: float
    request: Hashable  # what makes two requests identical
    contract: Hashable  # contract, exchange and tick type
    weight: int


class Ledger(Protocol):
    def try_send(self, request: Hashable, contract: Hashable, weight: int) -> float:
        """Record the request and return 0 when it may go now; else the seconds to wait (nothing recorded)."""


class MemoryLedger:
    """The requests this process sent within the last window."""

    def __init__(self, limits: PacingLimits = PacingLimits(), clock: Callable[[], float] = time.monotonic):
        self.limits = limits
        self.clock = clock
        self._sent: deque[Sent] = deque()  # oldest first

    def try_send(self, request: Hashable, contract: Hashable, weight: int = 1) -> float:
        now = self.clock()
        ready = ready_at(list(self._forget_before(now)), self.limits, now, request, contract, weight)
        if ready > now:
            return ready - now
        self._sent.append(Sent(now, request, contract, weight))
        return 0.0

    def _forget_before(self, now: float) -> deque[Sent]:
        limits = self.limits
        while self._sent and self._sent[0].at <= now - limits.window_seconds - limits.margin:
            self._sent.popleft()
        return self._sent


class Unlimited:
    """A ledger that lets every request go: for a gateway that keeps no limits."""

    def try_send(self, request: Hashable, contract: Hashable, weight: int = 1) -> float:
        return 0.0


def ready_at(sent: list[Sent], limits: PacingLimits, now: float, request: Hashable, contract: Hashable,
             weight: int) -> float:
    """The first moment from `now` on at which the request keeps every limit, given `sent` (oldest first)."""
    margin = limits.margin
    identical = [s.at + limits.identical_seconds + margin for s in sent if s.request == request]
    same_contract = [s for s in sent if s.contract == contract]
    return max(
        max(identical, default=now),
        _fits_from(same_contract, now, limits.burst_seconds + margin, limits.burst_limit, weight),
        _fits_from(sent, now, limits.window_seconds + margin, limits.window_limit, weight),
    )


def _fits_from(sent: list[Sent], now: float, span: float, limit: int, weight: int) -> float:
    """The first moment from `now` on at which `weight` more fits into `span` seconds of `sent`."""
    moment = now
    recent = [s for s in sent if s.at > now - span]
    total = sum(s.weight for s in recent) + weight
    for s in recent:  # oldest first: each one leaving the span frees its weight
        if total <= limit:
            break
        total -= s.weight
        moment = s.at + span
    return moment


class Pacer:
    """Admits historical requests one at a time, each when the ledger allows it."""

    def __init__(self, ledger: Ledger | None = None, sleep: Callable[[float], Awaitable] = asyncio.sleep):
        self.ledger = ledger if ledger is not None else MemoryLedger()
        self.sleep = sleep
        self._turn = asyncio.Lock()  # fair: requests keep the order they came in

    async def admit(self, request: Hashable, contract: Hashable, weight: int = 1, label: str = "") -> None:
        """Return when the request may be sent; `label` names it in the waiting line."""
        async with self._turn:
            said = False
            while (wait := self.ledger.try_send(request, contract, weight)) > 0:
                if not said:
                    logger.info("[{}] waiting {}s for the gateway's pacing limit", label, math.ceil(wait))
                    said = True
                await self.sleep(wait)
