"""The in-process bar cache that the kline command's gateway and public-data paths share."""

from __future__ import annotations

import math
import operator
import os
import time
from bisect import bisect_left, bisect_right, insort
from collections import OrderedDict
from dataclasses import dataclass
from datetime import date
from typing import Callable, Union

from loguru import logger


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


Key = Union[CountKey, RangeKey, IntradayKey]


@dataclass(slots=True)
class _Entry:
    records: list
    bars: int  # len(records) when stored, so accounting survives a caller mutating the list
    expires: float | None  # clock() deadline; None for data that cannot change


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

    Settings, read once in the constructor. Class attributes give the
    defaults (a host may change them before the first cache is built);
    environment variables override them:
      KLINE_CACHE_LIVE_TTL   seconds a live entry answers (default 60; 0 = never)
      KLINE_CACHE_MAX_BARS   total bar records held (default 2,000,000)
    An unreadable or negative environment value is ignored with a warning.

    Stored lists are returned as the very objects given to `set`, never
    copies; callers must not mutate them. Only the event-loop thread uses
    the cache, so there is no lock.
    """

    live_ttl: float = 60.0
    max_bars: int = 2_000_000
    clock: Callable[[], float] = time.monotonic

    def __init__(self) -> None:
        cls = type(self)
        self.live_ttl = _env_setting("KLINE_CACHE_LIVE_TTL", float, cls.live_ttl)
        self.max_bars = _env_setting("KLINE_CACHE_MAX_BARS", int, cls.max_bars)
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

    def get(self, key: Key) -> list | None:
        self._purge_expired()
        entry = self._entries.get(key)
        if entry is None:
            return None
        if self._is_stale(entry):
            self._drop(key)
            return None
        self._entries.move_to_end(key)
        return entry.records

    def set(self, key: Key, records: list) -> None:
        if not isinstance(key, (CountKey, RangeKey, IntradayKey)):
            raise TypeError(f"not a KlineCache key: {key!r}")
        if not isinstance(records, list):
            raise TypeError(f"KlineCache stores lists of bar records, got {type(records).__name__}")
        self._purge_expired()
        self._drop(key)
        if len(records) > self.max_bars:
            return
        expires = self.clock() + self.live_ttl if key.is_live(local_today()) else None
        self._entries[key] = _Entry(records, len(records), expires)
        self._bars += len(records)
        if expires is not None:
            self._expiring[key] = expires
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
    return operator.index(count)


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
