"""Keeping a gateway's historical-data pacing limits on the host's side.

For bars of 30 seconds or less, a gateway refuses with 162 "pacing violation" a request identical
to one made within 15 s, the sixth request for one contract, exchange and tick type within 2 s, and
a request beyond the 60th in ten minutes (a BID_ASK request counts twice); for bars of a minute and
more those limits "have been lifted". The host keeps them itself for small bars: such requests take
their turn one at a time, each as soon as the limits allow, and one that has to wait says so.
Larger bars go at once. For every bar size, at most a few requests are open at once (open_requests).

The record of what was sent (a ledger) lives in this process by default, one per gateway so that a
reconnect remembers it; a desk that runs several terminals against one gateway shares one ledger
through Redis.
"""

from __future__ import annotations

import asyncio
import hashlib
import math
import time
import uuid
from collections import deque
from collections.abc import Awaitable, Callable, Hashable
from dataclasses import dataclass
from typing import Protocol

from loguru import logger

from quorvane.gateway.open_requests import OpenSlots, default_slots


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

    def note(self, request: Hashable, contract: Hashable, weight: int = 1) -> None:
        """Record a request another ledger let go now."""
        now = self.clock()
        self._forget_before(now).append(Sent(now, request, contract, weight))

    def _forget_before(self, now: float) -> deque[Sent]:
        limits = self.limits
        while self._sent and self._sent[0].at <= now - limits.window_seconds - limits.margin:
            self._sent.popleft()
        return self._sent


class RedisLedger:
    """The requests every process of a desk sent, in one sorted set on the desk's Redis server.

    Times are the wall clock, which the desk's machines share. A server that cannot be reached costs
    one warning; the process then counts its own requests (those it sent before included) until the
    server answers again.
    """

    KEY = "quorvane:pacing:sent"
    TIMEOUT = 0.5  # seconds for connecting and for each answer
    RETRY_AFTER = 30.0  # seconds before a server that failed is asked again

    def __init__(self, url: str, limits: PacingLimits = PacingLimits(), clock: Callable[[], float] = time.time):
        from quorvane.gateway.bar_store.urls import without_password

        self.url = url
        self.location = without_password(url)
        self.limits = limits
        self.clock = clock
        self._alone = MemoryLedger(limits, clock)
        self._mine: dict[bytes, float] = {}  # members this process wrote, to put back if the server lost them
        self._said_lost = False
        self._client = None
        self._down_until: float | None = None

    def try_send(self, request: Hashable, contract: Hashable, weight: int = 1) -> float:
        from redis.exceptions import RedisError

        if self._down_until is not None and self.clock() < self._down_until:
            return self._alone.try_send(request, contract, weight)
        try:
            wait = self._try_shared(_digest(request), _digest(contract), weight)
        except (RedisError, OSError) as exc:
            if self._down_until is None:
                logger.warning(
                    "Pacing budget on {} unreachable ({}); counting this process's requests only", self.location, exc
                )
            self._down_until = self.clock() + self.RETRY_AFTER
            return self._alone.try_send(request, contract, weight)
        self._down_until = None
        if wait == 0:  # counted here too, for when the server stops answering
            self._alone.note(request, contract, weight)
        return wait

    def _try_shared(self, request: str, contract: str, weight: int) -> float:
        from redis.exceptions import WatchError

        limits = self.limits
        with self._redis().pipeline() as pipe:
            while True:
                try:
                    pipe.watch(self.KEY)
                    now = self.clock()
                    oldest = now - limits.window_seconds - limits.margin
                    members = dict(pipe.zrangebyscore(self.KEY, oldest, "+inf", withscores=True))
                    lost = self._lost(members, oldest)
                    members.update(lost)
                    sent = [entry for member, at in members.items() if (entry := _parse(member, at))]
                    ready = ready_at(sorted(sent, key=lambda s: s.at), limits, now, request, contract, weight)
                    if ready > now and not lost:
                        pipe.unwatch()
                        return ready - now
                    pipe.multi()
                    pipe.zremrangebyscore(self.KEY, "-inf", oldest)
                    mine = f"{uuid.uuid4().hex}|{request}|{contract}|{weight}".encode()
                    added = dict(lost) if ready > now else {**lost, mine: now}
                    pipe.zadd(self.KEY, added)
                    pipe.expire(self.KEY, math.ceil(limits.window_seconds + limits.margin))
                    pipe.execute()
                    if ready > now:
                        return ready - now
                    self._mine[mine] = now
                    return 0.0
                except WatchError:  # another process sent meanwhile: count again
                    continue

    def _lost(self, members: dict, oldest: float) -> dict[bytes, float]:
        """This process's entries of the window that the server no longer holds (an eviction, a flush)."""
        self._mine = {member: at for member, at in self._mine.items() if at > oldest}
        lost = {member: at for member, at in self._mine.items() if member not in members}
        if lost and not self._said_lost:
            logger.warning(
                "Pacing budget on {} lost entries (evicted or flushed); putting back this terminal's", self.location
            )
            self._said_lost = True
        return lost

    def _redis(self):
        if self._client is None:
            from quorvane.gateway.bar_store.redis_backend import redis_client

            self._client = redis_client(self.url, "quorvane-pacing", self.TIMEOUT)
        return self._client


def _digest(key: Hashable) -> str:
    """The same short text for the same request in every process."""
    return hashlib.blake2b(repr(key).encode(), digest_size=12).hexdigest()


def _parse(member: bytes, at: float) -> Sent | None:
    """One entry of the shared ledger; None for one written otherwise (another version), which is skipped."""
    try:
        _, request, contract, weight = member.decode().split("|")
        return Sent(float(at), request, contract, int(weight))
    except (ValueError, UnicodeDecodeError, TypeError):
        return None


def ledger_for(shared_url: str | None) -> Ledger:
    """Shared through the desk's Redis server at `shared_url`, else this process's own."""
    return RedisLedger(shared_url) if shared_url else MemoryLedger()


class Unlimited:
    """A ledger that lets every request go: for a gateway that keeps no limits."""

    def try_send(self, request: Hashable, contract: Hashable, weight: int = 1) -> float:
        return 0.0


def ready_at(
    sent: list[Sent], limits: PacingLimits, now: float, request: Hashable, contract: Hashable, weight: int
) -> float:
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


SMALL_BAR_SECONDS = 30  # the gateway paces bars of this many seconds or less
_BAR_UNITS = {"sec": 1, "secs": 1, "min": 60, "mins": 60, "hour": 3600, "hours": 3600}


def is_small_bar(bar_size: str) -> bool:
    """True for a bar size the gateway paces ("30 secs" and less); day, week and month bars are not."""
    number, _, unit = str(bar_size).strip().partition(" ")
    seconds = _BAR_UNITS.get(unit.strip())
    return seconds is not None and number.isdigit() and int(number) * seconds <= SMALL_BAR_SECONDS


class Pacer:
    """Admits historical requests: small bars one at a time, each when the ledger allows it.

    A connection's pacer shares its gateway's ledger for the life of the process (`for_gateway`),
    so what was sent is remembered across reconnects. `slots` caps the requests open at once.
    """

    PACING_BACKOFF = (5.0, 15.0, 30.0, 60.0)  # seconds before each retry of a request paced out

    def __init__(
        self, ledger: Ledger, sleep: Callable[[float], Awaitable] = asyncio.sleep, slots: OpenSlots | None = None
    ):
        self.ledger = ledger
        self.sleep = sleep
        self.slots = slots if slots is not None else default_slots()
        self._turn = asyncio.Lock()  # fair: requests keep the order they came in

    async def admit(
        self, request: Hashable, contract: Hashable, weight: int = 1, label: str = "", paced: bool = True
    ) -> None:
        """Return when the request may be sent; `label` names it in the waiting line. Requests
        that are not `paced` (bars over 30 s) go at once."""
        if not paced:
            return
        async with self._turn:
            said = False
            while (wait := self.ledger.try_send(request, contract, weight)) > 0:
                if not said:
                    logger.info("[{}] waiting {}s for the gateway's pacing limit", label, math.ceil(wait))
                    said = True
                await self.sleep(wait)

    async def back_off(self, attempt: int, label: str) -> bool:
        """After the gateway paced out a request: wait before try `attempt` (1, 2, ...); False when it
        has been tried often enough."""
        if attempt > len(self.PACING_BACKOFF):
            return False
        wait = self.PACING_BACKOFF[attempt - 1]
        logger.info("[{}] gateway asked to slow down (pacing); trying again in {}s", label, math.ceil(wait))
        await self.sleep(wait)
        return True


_gateway_ledgers: dict[tuple, Ledger] = {}


def for_gateway(host: str, port: int, shared_url: str | None) -> Pacer:
    """A pacer for a connection to a gateway: its ledger is the gateway's, kept across reconnects,
    and shared through the desk's Redis server at `shared_url` when there is one."""
    key = (str(host), int(port), shared_url)
    ledger = _gateway_ledgers.get(key)
    if ledger is None:
        ledger = _gateway_ledgers[key] = ledger_for(shared_url)
    return Pacer(ledger)
