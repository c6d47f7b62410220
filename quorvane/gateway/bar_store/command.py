"""`python -m quorvane cache [clear]`: what the bar store holds, and emptying it."""

from __future__ import annotations

import argparse
import json
import sys
import time

from quorvane.gateway.bar_store import codec
from quorvane.gateway.bar_store.backend import Backend, StoredEntry, StoreTrouble, StoreUnusable


def main(args: list[str]) -> int:
    """0 done, 1 the store could not be read or emptied, 2 bad usage."""
    parser = argparse.ArgumentParser(
        prog="quorvane cache",
        description="Show the bar store (its location, size and entries), or empty it with `clear`.",
    )
    parser.add_argument("action", nargs="?", choices=["clear"], help="remove every entry")
    try:
        action = parser.parse_args(args).action
    except SystemExit as exit:
        return int(exit.code or 0)

    from quorvane.console import configure_logging
    from quorvane.gateway.kline_cache import KlineCache  # settles the store as a session would

    configure_logging()
    cache = KlineCache()
    if cache.store is None:
        print(f"No bar store: bars live only as long as the process ({cache.store_url}).")
        return 0
    backend = cache.store.backend
    try:
        if action == "clear":
            removed = backend.clear()
            entries = _plural(removed, "entry", "entries")
            print(f"Bar store {_printable(backend.location)}: removed {removed:,} {entries}.")
        else:
            print(_report(backend))
    except StoreUnusable as trouble:
        print(
            f"quorvane cache: {_printable(backend.location)} is not a bar store this version can use ({trouble}); "
            "it is left as it is: move it away, or set KLINE_CACHE_URL to another file",
            file=sys.stderr,
        )
        return 1
    except StoreTrouble as trouble:
        print(f"quorvane cache: bar store {_printable(backend.location)}: {trouble}", file=sys.stderr)
        return 1
    finally:
        backend.close()
    return 0


def _report(backend: Backend) -> str:
    entries = list(backend.entries(codec.HEAD_SIZE))
    heads = [codec.read_head(entry.head) for entry in entries]
    bars = sum(head.records for head in heads if head)
    lines = [
        f"Bar store: {_printable(backend.location)}",
        f"{len(entries):,} {_plural(len(entries), 'entry', 'entries')}, {bars:,} bars, {_size(backend.size())}",
    ]
    if entries:
        lines.append(f"  {'stored':<16}  {'bars':>9}  {'size':>9}  request")
        lines += [_entry_line(entry, head) for entry, head in zip(entries, heads, strict=True)]
    return "\n".join(lines)


def _entry_line(entry: StoredEntry, head: codec.Head | None) -> str:
    if head is None:
        return f"  {'?':<16}  {'?':>9}  {_size(entry.size):>9}  {_request(entry.key)} (not readable by this version)"
    stored = _local_time(head.stored_at)
    return f"  {stored:<16}  {head.records:>9,}  {_size(entry.size):>9}  {_request(entry.key)}"


def _local_time(stamp: float) -> str:
    """The time an entry was stored; "?" for one no clock shows (NaN, inf, 1e300: a forged head)."""
    try:
        return time.strftime("%Y-%m-%d %H:%M", time.localtime(stamp))
    except (ValueError, OverflowError, OSError):
        return "?"


def _request(key: str) -> str:
    """A key's kind and words, e.g. `range AAPL day none 2025-01-01 2025-06-01`, escaped for printing."""
    try:
        words = json.loads(key)
        text = " ".join(map(str, words)) if isinstance(words, list) else key
    except (ValueError, TypeError, RecursionError):
        text = key
    return _printable(text)


def _printable(text: str) -> str:
    """`text` with control characters (and anything else unprintable) as escapes: a key read from a
    shared store must not move the cursor or retitle the terminal."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else repr(char)[1:-1] for char in text)


def _size(size: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:,.0f} {unit}" if unit == "B" else f"{size:,.1f} {unit}"
        size /= 1000
    raise AssertionError("unreachable")


def _plural(count: int, one: str, many: str) -> str:
    return one if count == 1 else many
