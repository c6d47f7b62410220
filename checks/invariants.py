"""What every outcome of a kline line must satisfy, judged from outside the module.

An outcome is a result record or a documented exception. The module's use of the bar cache is
watched through `WatchedCache`, which stands in the module's cache slot and logs what the module
asks of the real cache during one line; the printed tables are logged by the fuzzer's printer.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from datetime import date

ERROR_TEXTS = {
    "No symbol provided",
    "No data returned",
    "No data in range",
    "Start must be before end",
    "No intraday data",
}
ERROR_KEYS = {"error", "symbol", "start", "end"}
# Keys of a successful record, by mode; what may follow them (a cache mark, the source).
SHAPES = {
    "latest": ("symbol", "period", "count", "adjust", "bars"),
    "range": ("symbol", "period", "start", "end", "adjust", "bars"),
    "intraday": ("symbol", "type", "bars", "source"),
}
TAILS = {("source",), ("cached",), ("cached", "source")}
SOURCES = {"ibkr", "yfinance"}
BAR_COLUMNS = {"date", "open", "high", "low", "close", "volume", "average", "barCount"}
DATE_SHAPE = re.compile(r"\d{4}-\d{2}-\d{2}")


@dataclass
class WatchedCache:
    """The real bar cache, logging the lists it hands out and the lists stored into it."""

    cache: object
    handed: list = field(default_factory=list)
    stored: list = field(default_factory=list)  # (key, records)

    def get(self, key):
        return self._hand(self.cache.get(key))

    def try_larger_count(self, *args):
        return self._hand(self.cache.try_larger_count(*args))

    def set(self, key, records):
        self.stored.append((key, records))
        return self.cache.set(key, records)

    def __len__(self) -> int:
        return len(self.cache)

    def __getattr__(self, name):
        return getattr(self.cache, name)

    def forget(self) -> None:
        self.handed.clear()
        self.stored.clear()

    def _hand(self, records):
        if records is not None:
            self.handed.append(records)
        return records


def documented_error(error: BaseException, words: tuple[str, ...], handed_as_list: bool) -> bool:
    """An invalid-date error (a word of date shape that is no calendar date, in the date reader's
    words), or the type error for words handed over in anything but a list."""
    if type(error) is TypeError:
        return bool(words) and not handed_as_list
    return type(error) is ValueError and str(error) in {_date_error(word) for word in words}


def _date_error(word: str) -> str | None:
    if not DATE_SHAPE.fullmatch(word):
        return None
    try:
        date.fromisoformat(word)
    except ValueError as error:
        return str(error)
    return None


def record_problems(record) -> list[str]:
    """What is wrong with the shape of a result record (empty when nothing is)."""
    if not isinstance(record, dict):
        return [f"outcome is a {type(record).__name__}, not a record"]
    if "error" in record:
        problems = [] if record["error"] in ERROR_TEXTS else [f"unknown error text {record['error']!r}"]
        return problems + [f"error record with key {k!r}" for k in record if k not in ERROR_KEYS]
    keys = tuple(record)
    mode = next((m for m, shape in SHAPES.items() if keys[: len(shape)] == shape), None)
    if mode is None:
        return [f"record keys {list(keys)}"]
    problems = _bars_problems(record["bars"])
    tail = keys[len(SHAPES[mode]) :]
    if mode == "intraday":
        if tail:
            problems.append(f"intraday record ends with {list(tail)}")
        if record["source"] not in SOURCES | {"cache"}:
            problems.append(f"intraday source {record['source']!r}")
    else:
        if tail not in TAILS:
            problems.append(f"record ends with {list(tail)}")
        if record.get("cached", True) is not True:
            problems.append(f"cached is {record['cached']!r}")
        if record.get("source", "ibkr") not in SOURCES:
            problems.append(f"source {record['source']!r}")
    if mode == "latest" and record["count"] != len(record["bars"]):
        problems.append(f"count {record['count']} for {len(record['bars'])} bars")
    if mode == "range" and not str(record["start"]) <= str(record["end"]):  # one day: start = end
        problems.append(f"range from {record['start']} to {record['end']}")
    return problems


def _bars_problems(bars) -> list[str]:
    if not isinstance(bars, list):
        return [f"bars is a {type(bars).__name__}"]
    bad = next((b for b in bars if not isinstance(b, dict) or not b.keys() >= BAR_COLUMNS), None)
    return [] if bad is None else [f"bar record {bad!r}"]


def cache_problems(record, watched: WatchedCache, prints: list[tuple]) -> list[str]:
    """What the line did wrong with the cache and the printer, given its outcome (a record or None)."""
    if not isinstance(record, dict) or "error" in record:
        problems = [f"a failed line stored {key!r}" for key, _ in watched.stored]
        return problems + [f"a failed line printed {title!r}" for _, title in prints]
    bars = record["bars"]
    from_cache = any(handed is bars for handed in watched.handed)
    stored_under = [key for key, stored in watched.stored if stored is bars]
    if not stored_under and not from_cache:
        return ["the record's bars are neither stored nor from the cache"]
    cap = getattr(watched.cache, "max_bars", float("inf"))
    problems = [
        f"stored {key!r} yet the cache answers otherwise"
        for key in stored_under
        if len(bars) <= cap and watched.cache.get(key) is not bars
    ]
    if from_cache:
        problems += [f"a cache answer printed {title!r}" for _, title in prints]
    elif len(prints) != 1 or len(prints[0][0]) != len(bars):
        problems.append(f"a fresh answer of {len(bars)} bars printed {[(len(f), t) for f, t in prints]}")
    elif not str(prints[0][1]).startswith(f"{record['symbol']} "):
        problems.append(f"the table of {record['symbol']} is titled {prints[0][1]!r}")
    return problems


def changed_lists(stored: list[tuple[list, int]]) -> list[str]:
    """Stored lists (with their length when stored) that someone has since changed in length."""
    return [
        f"a stored list of {length} bar records now holds {len(records)}"
        for records, length in stored
        if len(records) != length
    ]


def word_check_problems(record, error: BaseException | None, refusal: str | None, adjust_words) -> list[str]:
    """What the host's word check (quorvane.words) got wrong about a line, judged by what the
    module made of the words: a line it lets through must not reach the module's date error, nor
    come back with a word taken for the adjustment word that is none."""
    if refusal is not None:
        return []
    if error is not None:
        return [f"the host let through words the module refused: {type(error).__name__}: {error}"]
    if not isinstance(record, dict) or "error" in record or "adjust" not in record:
        return []
    adjust = record["adjust"]
    return [] if adjust == "none" or adjust in adjust_words else [f"the host let through {adjust!r} as adj"]
