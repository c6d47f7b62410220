"""The bar cache that the kline command's gateway and public-data paths share."""

from __future__ import annotations

import asyncio
import dataclasses
import json
import math
import operator
import os
import time
from bisect import bisect_left, bisect_right, insort
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from datetime import date
from typing import TYPE_CHECKING, SupportsIndex, cast

from loguru import logger

from quorvane.gateway.bar_store import default_url, open_store
from quorvane.gateway.bar_store.choice import settled_url

if TYPE_CHECKING:
    from quorvane.gateway.bar_store.store import BarStore


def local_today() -> date:
    """The machine's local date (a function so tests can move the calendar)."""
    return date.today()


@dataclass(frozen=True, slots=True)
class CountKey:
    """The latest `count` bars: always live data."""

    symbol: str
    period: str
    adjust: str
    count: int

    @property
    def group(self) -> tuple[str, str, str]:
        return (self.symbol, self.period, self.adjust)

    def is_live(self, today: date) -> bool:
        return True


@dataclass(frozen=True, slots=True)
class RangeKey:
    """Bars between two dates: live only while the range reaches today."""

    symbol: str
    period: str
    adjust: str
    start: str
    end: str

    def is_live(self, today: date) -> bool:
        try:
            return date.fromisoformat(self.end) >= today
        except ValueError:
            return True  # unreadable end: let it expire rather than keep it forever


@dataclass(frozen=True, slots=True)
class IntradayKey:
    """Today's minute curve; the date keeps yesterday's curve from answering."""

    symbol: str
    day: str

    def is_live(self, today: date) -> bool:
        return True


Key = CountKey | RangeKey | IntradayKey
_KEY_KINDS = {CountKey: "count", RangeKey: "range", IntradayKey: "intraday"}


def key_text(key: Key) -> str:
    """A key as the store names it: its kind and words, as JSON (words may hold any character)."""
    return json.dumps([_KEY_KINDS[type(key)], *(getattr(key, f.name) for f in dataclasses.fields(key))])


@dataclass(slots=True)
class _Entry:
    records: list
    bars: int  # len(records) when stored, so accounting survives a caller mutating the list
    expires: float | None  # clock() deadline; None for data that cannot change


_partial: set[str] = set()


def mark_partial(symbol: str) -> None:
    """The next entry set for `symbol` is an answer with days missing: it answers for the live TTL
    and is never stored, so asking again fetches what is missing."""
    _partial.add(symbol)


class KlineCache:
    """Bar records by request, shared by every kline retrieval in the process.

    Freshness: live entries (latest-count requests, the intraday curve, and
    date ranges ending today or later) answer for `live_ttl` seconds after
    they were stored. Ranges that ended before the day they were stored never
    go stale.

    Memory: at most `max_bars` bar records are held in total (the sum of the
    lengths of all stored lists); the least recently used entries go first.
    A list longer than `max_bars` on its own is not kept, and it still
    replaces (drops) what was stored under its key.

    Lasting: entries that never go stale are also written to a store that
    outlives the process (by default an SQLite file in the user's cache
    folder), and a later process answers them from there when memory misses.
    A Redis store is shared by a desk: it takes every entry, live ones with
    a Redis expiry at the live TTL. Writes run on the store's own thread.
    A store in trouble costs a warning, never an answer (bar_store).

    Settings, read once in the constructor. Class attributes give the
    defaults (a host may change them before the first cache is built);
    environment variables override them:
      KLINE_CACHE_LIVE_TTL   seconds a live entry answers (default 60; 0 = never)
      KLINE_CACHE_MAX_BARS   total bar records held (default 2,000,000)
      KLINE_CACHE_URL        the store: sqlite:///path, redis://host:port/db
                             or memory: (default: the SQLite file)
    An unreadable or negative environment value is ignored with a warning.

    Stored lists are returned as the very objects given to `set`, never
    copies; callers must not mutate them. Only the event-loop thread uses
    the cache, so there is no lock.
    """

    live_ttl: float = 60.0
    max_bars: int = 2_000_000
    store_url: str | None = None  # None: the SQLite file in the user's cache folder
    clock: Callable[[], float] = time.monotonic

    def __init__(self) -> None:
        cls = type(self)
        self.live_ttl = _env_setting("KLINE_CACHE_LIVE_TTL", float, cls.live_ttl)
        self.max_bars = _env_setting("KLINE_CACHE_MAX_BARS", int, cls.max_bars)
        self.store_url, self._store = _store_setting(cls.store_url)
        self.clock = cls.clock
        self._entries: OrderedDict[Key, _Entry] = OrderedDict()  # least recently used first
        self._expiring: OrderedDict[Key, float] = OrderedDict()  # live keys, earliest deadline first
        self._counts: dict[tuple[str, str, str], list[int]] = {}  # sorted counts held per group
        self._bars = 0

    # Keys are built on the class: callers hold no instance when they make one.

    @staticmethod
    def count_key(symbol: str, period: str, adjust: str, count: int) -> CountKey:
        _check_words(symbol, period, adjust)
        return CountKey(symbol, period, adjust, _check_count(count))

    @staticmethod
    def range_key(symbol: str, period: str, adjust: str, start_text: str, end_text: str) -> RangeKey:
        _check_words(symbol, period, adjust, start_text, end_text)
        return RangeKey(symbol, period, adjust, start_text, end_text)

    @staticmethod
    def intraday_key(symbol: str) -> IntradayKey:
        _check_words(symbol)
        return IntradayKey(symbol, local_today().isoformat())

    def __len__(self) -> int:
        return len(self._entries)

    @property
    def bars(self) -> int:
        """Bar records held across all entries."""
        return self._bars

    @property
    def store(self) -> BarStore | None:
        """Where lasting entries go; None when they live in memory only."""
        return self._store

    def get(self, key: Key) -> list | None:
        self._purge_expired()
        entry = self._entries.get(key)
        if entry is None:
            return self._recall(key)
        if self._is_stale(entry):
            self._drop(key)
            return self._recall(key)
        self._entries.move_to_end(key)
        return entry.records

    async def recall(self, key: Key) -> list | None:
        """As `get`, but an entry the store must answer is read and decoded on a worker thread,
        so the event loop (and the shell's prompt) keeps running meanwhile."""
        self._purge_expired()
        entry = self._entries.get(key)
        if entry is not None and self._is_stale(entry):
            self._drop(key)
        elif entry is not None or not self._may_recall(key):
            return self.get(key)
        assert self._store is not None, "_may_recall said the store answers"
        loaded = await asyncio.to_thread(self._store.load, key_text(key))
        if loaded is None or key in self._entries:  # set meanwhile: the newer answer stands
            return self.get(key)
        records, seconds_left = loaded
        self._remember(key, records, None if seconds_left is None else self.clock() + seconds_left)
        return records

    def set(self, key: Key, records: list) -> None:
        if not isinstance(key, (CountKey, RangeKey, IntradayKey)):
            raise TypeError(f"not a KlineCache key: {key!r}")
        if not isinstance(records, list):
            raise TypeError(f"KlineCache stores lists of bar records, got {type(records).__name__}")
        self._purge_expired()
        self._drop(key)
        partial = key.symbol in _partial
        _partial.discard(key.symbol)
        live = partial or key.is_live(local_today())
        if self._store is not None and not partial and (not live or (self._store.shares_live and self.live_ttl > 0)):
            self._store.save(key_text(key), records, self.live_ttl if live else None)
        self._remember(key, records, self.clock() + self.live_ttl if live else None)

    def flush(self) -> None:
        """Wait until the store holds every entry set so far."""
        if self._store is not None:
            self._store.flush()

    def _may_recall(self, key: Key) -> bool:
        store = self._store
        return store is not None and (store.shares_live or not key.is_live(local_today()))

    def _recall(self, key: Key) -> list | None:
        """The entry from the store, kept in memory from now on; None when it has none."""
        if not self._may_recall(key) or self._store is None:
            return None
        found = self._store.load(key_text(key))
        if found is None:
            return None
        records, seconds_left = found
        self._remember(key, records, None if seconds_left is None else self.clock() + seconds_left)
        return records

    def _remember(self, key: Key, records: list, expires: float | None) -> None:
        if len(records) > self.max_bars:
            return
        self._entries[key] = _Entry(records, len(records), expires)
        self._bars += len(records)
        if expires is not None:
            self._add_deadline(key, expires)
        if isinstance(key, CountKey):
            insort(self._counts.setdefault(key.group, []), key.count)
        self._evict_over_cap()

    def try_larger_count(self, symbol: str, period: str, adjust: str, count: int) -> list | None:
        """The newest `count` records of the smallest fresh larger-count entry, oldest first."""
        if not _is_int(count) or count < 1 or not _all_text(symbol, period, adjust):
            return None
        self._purge_expired()
        counts = self._counts.get((symbol, period, adjust), [])
        # Copy the larger tail: dropping a stale entry edits the index.
        for larger in counts[bisect_right(counts, count) :]:
            key = CountKey(symbol, period, adjust, larger)
            entry = self._entries[key]
            if self._is_stale(entry):
                self._drop(key)
                continue
            self._entries.move_to_end(key)
            return entry.records[-count:]
        return None

    def _add_deadline(self, key: Key, expires: float) -> None:
        # Deadlines set here come in order; one recalled from a shared store with less time
        # left than others may not, and then the few live keys are put in order again.
        in_order = not self._expiring or next(reversed(self._expiring.values())) <= expires
        self._expiring[key] = expires
        if not in_order:
            self._expiring = OrderedDict(sorted(self._expiring.items(), key=operator.itemgetter(1)))

    def _is_stale(self, entry: _Entry) -> bool:
        return entry.expires is not None and self.clock() >= entry.expires

    def _purge_expired(self) -> None:
        # Deadlines are stored in order, so only the expired front is visited.
        now = self.clock()
        while self._expiring:
            key, deadline = next(iter(self._expiring.items()))
            if deadline > now:
                break
            self._drop(key)

    def _evict_over_cap(self) -> None:
        while self._bars > self.max_bars:
            self._drop(next(iter(self._entries)))

    def _drop(self, key: Key) -> None:
        entry = self._entries.pop(key, None)
        if entry is None:
            return
        self._bars -= entry.bars
        self._expiring.pop(key, None)
        if isinstance(key, CountKey):
            counts = self._counts[key.group]
            del counts[bisect_left(counts, key.count)]
            if not counts:
                del self._counts[key.group]


def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _all_text(*words: object) -> bool:
    return all(isinstance(word, str) for word in words)


def _check_words(*words: object) -> None:
    if not _all_text(*words):
        raise TypeError(f"KlineCache key words must be text, got {words!r}")


def _check_count(count: object) -> int:
    # Integer types of other libraries (numpy) are fine; floats and bools are not.
    if isinstance(count, bool) or not hasattr(type(count), "__index__"):
        raise TypeError(f"KlineCache count must be an integer, got {count!r}")
    return operator.index(cast(SupportsIndex, count))


def configured_store_url() -> str:
    """The store a new cache uses: $KLINE_CACHE_URL, else KlineCache.store_url, else the default
    file; memory (after one warning) for a URL that names no usable store, and in a simulated
    session a store of the simulator's own (bar_store.choice)."""
    return _store_url(KlineCache.store_url)


def _store_url(default: str | None) -> str:
    raw = os.environ.get("KLINE_CACHE_URL", "").strip()
    if raw:
        return settled_url(raw, "KLINE_CACHE_URL")
    return settled_url(default, "KlineCache.store_url") if default else settled_url(default_url(), "the default")


def _store_setting(default: str | None) -> tuple[str, BarStore | None]:
    """The store's URL ($KLINE_CACHE_URL over the class attribute) and the store it names."""
    url = _store_url(default)
    return url, open_store(url)


def _env_setting(name: str, kind: type, default):
    raw = os.environ.get(name, "").strip()
    if not raw:
        return default
    try:
        value = kind(raw)
        if not math.isfinite(value) or value < 0:
            raise ValueError("must be a finite number >= 0")
    except ValueError as exc:
        logger.warning("Ignoring {}={!r} ({}); using {}", name, raw, exc, default)
        return default
    return value
