"""How many historical requests are open at a gateway at once.

A gateway refuses the 51st open historical request of a client ("Only 50 simultaneous API
historical data requests"), whatever the bar size, and IBKR advises "a much smaller number of
requests pending at a time". The host keeps at most OPEN_LIMIT open per gateway connection; with
a Redis bar store the count is the desk's: every terminal holds a lease in one sorted set on that
server while its request is open. A lease ends with its request, or at the request's timeout when
a terminal died holding it. A server that cannot be reached costs one warning; each terminal then
keeps its own count until it answers again.
"""

from __future__ import annotations

import asyncio
import time
import uuid
from collections.abc import AsyncIterator, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Protocol

from loguru import logger

OPEN_LIMIT = 6  # well under the gateway's 50, and enough to keep it busy


class OpenSlots(Protocol):
    def hold(self, seconds: float, label: str = "") -> AbstractAsyncContextManager[None]:
        """An async context: entered when a request may be open, for at most `seconds`."""


class LocalSlots:
    """This connection's own count."""

    def __init__(self, limit: int = OPEN_LIMIT) -> None:
        self.limit = limit
        self._free = asyncio.Semaphore(limit)

    @asynccontextmanager
    async def hold(self, seconds: float, label: str = "") -> AsyncIterator[None]:
        async with self._free:
            yield


class DeskSlots(LocalSlots):
    """The desk's count, kept on its Redis server, within this connection's own."""

    KEY = "quorvane:pacing:open"
    TIMEOUT = 0.5  # seconds for connecting and for each answer
    RETRY_AFTER = 30.0  # seconds before a server that failed is asked again
    POLL = 0.1  # seconds between looks at a full desk

    def __init__(self, url: str, limit: int = OPEN_LIMIT, clock: Callable[[], float] = time.time) -> None:
        from quorvane.gateway.bar_store.redis_backend import without_password

        super().__init__(limit)
        self.url = url
        self.location = without_password(url)
        self.clock = clock
        self._client = None
        self._down_until: float | None = None

    @asynccontextmanager
    async def hold(self, seconds: float, label: str = "") -> AsyncIterator[None]:
        async with super().hold(seconds, label):
            lease = await self._take(seconds, label)
            try:
                yield
            finally:
                if lease is not None:
                    self._give_back(lease)

    async def _take(self, seconds: float, label: str) -> bytes | None:
        """A lease on one of the desk's slots; None while the server cannot be reached."""
        said = False
        while True:
            if self._down_until is not None and self.clock() < self._down_until:
                return None
            lease = self._try_take(seconds)
            if lease != b"":
                return lease
            if not said:
                logger.info("[{}] waiting for one of the desk's {} open gateway requests", label, self.limit)
                said = True
            await asyncio.sleep(self.POLL)

    def _try_take(self, seconds: float) -> bytes | None:
        """A lease; b"" when every slot is held; None when the server failed."""
        from redis.exceptions import RedisError, WatchError

        try:
            with self._redis().pipeline() as pipe:
                while True:
                    try:
                        pipe.watch(self.KEY)
                        now = self.clock()
                        held = pipe.zcount(self.KEY, now, "+inf")
                        if held >= self.limit:
                            pipe.unwatch()
                            return b""
                        lease = uuid.uuid4().hex.encode()
                        pipe.multi()
                        pipe.zremrangebyscore(self.KEY, "-inf", now)
                        pipe.zadd(self.KEY, {lease: now + seconds})
                        pipe.execute()
                        self._down_until = None
                        return lease
                    except WatchError:
                        continue
        except (RedisError, OSError) as exc:
            self._went_down(exc)
            return None

    def _give_back(self, lease: bytes) -> None:
        from redis.exceptions import RedisError

        try:
            self._redis().zrem(self.KEY, lease)
        except (RedisError, OSError) as exc:  # the lease runs out by itself
            self._went_down(exc)

    def _went_down(self, exc: Exception) -> None:
        if self._down_until is None:
            logger.warning(
                "Open-request count on {} unreachable ({}); counting this terminal's only", self.location, exc
            )
        self._down_until = self.clock() + self.RETRY_AFTER

    def _redis(self):
        if self._client is None:
            from quorvane.gateway.bar_store.redis_backend import redis_client

            self._client = redis_client(self.url, "quorvane-open-requests", self.TIMEOUT)
        return self._client


def default_slots() -> LocalSlots:
    """The desk's count when the bar store is a Redis server, else this connection's own."""
    from quorvane.gateway.desk import shared_url

    url = shared_url()
    return DeskSlots(url) if url else LocalSlots()
