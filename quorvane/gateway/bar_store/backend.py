"""What a place that keeps encoded entries offers, and the troubles it reports."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Protocol


class StoreTrouble(Exception):
    """A store operation that did not happen; the text says why."""


class StoreDown(StoreTrouble):
    """Nothing can be read or written now (unreachable, locked); worth trying again later."""


class WriteRefused(StoreTrouble):
    """Reads work, writes do not (full disk, read-only, out of memory); worth trying again later."""


class StoreUnusable(StoreTrouble):
    """Not a store this version can use (damaged, another format); no use trying again."""


@dataclass(frozen=True, slots=True)
class StoredEntry:
    key: str
    size: int  # bytes
    head: bytes  # the entry's first bytes, enough for codec.read_head


class Backend(Protocol):
    """Encoded entries by key text. Methods raise StoreTrouble; reads and writes may come from
    two threads at once (the event loop's and the store's writer)."""

    location: str  # for messages: a path, or a URL without its password
    shares_live: bool  # also holds live entries, under their time to live

    def read(self, key: str) -> tuple[bytes, float | None] | None:
        """The entry and its seconds left (None: no expiry), or None when there is none."""

    def write(self, key: str, entry: bytes, ttl: float | None) -> None:
        """Store the entry, replacing any under the key; `ttl` seconds to keep it (None: always)."""

    def entries(self, head_size: int) -> Iterator[StoredEntry]:
        """Every entry held, with its first `head_size` bytes plus its key's."""

    def size(self) -> int:
        """Bytes the store takes."""

    def clear(self) -> int:
        """Remove every entry; how many there were."""

    def close(self) -> None: ...
