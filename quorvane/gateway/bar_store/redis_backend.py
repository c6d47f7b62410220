"""Entries on a Redis server, shared by every process of a desk.

Each entry is one string value under "quorvane:bars:<key>"; live entries carry a Redis expiry,
past ranges none. Sockets time out quickly and the client never retries by itself: a server
that does not answer costs the event loop at most a fraction of a second, then the store pauses.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from quorvane.gateway.bar_store.backend import StoredEntry, StoreDown, StoreUnusable, WriteRefused
from quorvane.gateway.bar_store.urls import without_password

PREFIX = b"quorvane:bars:"
_BATCH = 500


class RedisBackend:
    shares_live = True
    timeout = 0.5  # seconds for connecting and for each answer

    def __init__(self, url: str) -> None:
        self.url = url
        self.location = without_password(url)
        self._client = None

    def read(self, key: str) -> tuple[bytes, float | None] | None:
        name = PREFIX + key.encode()
        with _troubles(writing=False):
            entry, left_ms = self._redis().pipeline(transaction=False).get(name).pttl(name).execute()
        if entry is None or left_ms == -2:  # none, or gone between the two commands
            return None
        return entry, (left_ms / 1000 if left_ms >= 0 else None)

    def write(self, key: str, entry: bytes, ttl: float | None) -> None:
        with _troubles(writing=True):
            self._redis().set(PREFIX + key.encode(), entry, px=None if ttl is None else max(1, round(ttl * 1000)))

    def entries(self, head_size: int) -> Iterator[StoredEntry]:
        with _troubles(writing=False):
            for names in self._batches():
                pipe = self._redis().pipeline(transaction=False)
                for name in names:
                    pipe.strlen(name).getrange(name, 0, head_size + len(name) - len(PREFIX) - 1)
                answers = pipe.execute()
                for name, size, head in zip(names, answers[::2], answers[1::2], strict=True):
                    if size:  # expired since the scan
                        yield StoredEntry(name[len(PREFIX) :].decode(errors="replace"), size, head)

    def size(self) -> int:
        return sum(entry.size for entry in self.entries(0))

    def clear(self) -> int:
        removed = 0
        with _troubles(writing=True):
            for names in self._batches():
                removed += self._redis().unlink(*names)
        return removed

    def close(self) -> None:
        if self._client is not None:
            self._client.close()
            self._client = None

    def _batches(self) -> Iterator[list[bytes]]:
        names: list[bytes] = []
        for name in self._redis().scan_iter(match=PREFIX + b"*", count=_BATCH):
            names.append(name)
            if len(names) == _BATCH:
                yield names
                names = []
        if names:
            yield names

    def _redis(self):
        if self._client is None:
            try:
                self._client = redis_client(self.url, "quorvane-bars", self.timeout)
            except ValueError as exc:
                raise StoreUnusable(f"cannot use this URL: {exc}") from None
        return self._client


def redis_client(url: str, name: str, timeout: float):
    """A client that gives up after `timeout` seconds and never retries by itself."""
    import redis  # a fifth of a second to import: only for a store that is used
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    return redis.Redis.from_url(
        url,
        socket_timeout=timeout,
        socket_connect_timeout=timeout,
        retry=Retry(NoBackoff(), 0),
        client_name=name,
    )


@contextmanager
def _troubles(writing: bool):
    """redis errors as store troubles."""
    from redis import exceptions as errors  # loaded with the client: a trouble comes after it

    try:
        yield
    except (errors.ConnectionError, errors.TimeoutError) as exc:
        raise StoreDown(f"unreachable: {exc}") from None
    except (errors.OutOfMemoryError, errors.ReadOnlyError) as exc:  # full, or a replica
        raise (WriteRefused if writing else StoreDown)(f"refuses new entries: {exc}") from None
    except errors.RedisError as exc:
        raise StoreDown(str(exc)) from None
