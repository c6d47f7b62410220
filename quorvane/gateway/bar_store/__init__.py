"""Bar-cache entries that outlive the process: an SQLite file by default, or a Redis server.

A store is named by a URL (`KLINE_CACHE_URL`, or `KlineCache.store_url`):
    sqlite:///path/bars.sqlite   a file; the default is $XDG_CACHE_HOME/quorvane/bars.sqlite
                                 (~/.cache/quorvane/bars.sqlite when that is unset)
    redis://host:port/db         a Redis server a desk shares (also rediss:// and unix://)
    memory:                      no store: entries live as long as the process

Opening a store costs nothing: files, connections and most imports wait for the first use.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quorvane.gateway.bar_store.store import BarStore

__all__ = ["MEMORY", "default_url", "is_shared", "open_store"]

MEMORY = "memory:"
_SQLITE = "sqlite://"
_REDIS = ("redis://", "rediss://", "unix://")


def default_url() -> str:
    """The SQLite file in the user's cache folder."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    folder = Path(base) if os.path.isabs(base) else Path.home() / ".cache"  # relative: ignored, as XDG says
    return _SQLITE + str(folder / "quorvane" / "bars.sqlite")


def is_shared(url: str) -> bool:
    """Whether the store is a server that several processes of a desk share."""
    return url.startswith(_REDIS)


def open_store(url: str) -> BarStore | None:
    """The store `url` names; None for memory only. ValueError for a URL of no known kind."""
    from quorvane.gateway.bar_store.store import BarStore

    if url == MEMORY:
        return None
    if url.startswith(_SQLITE):
        from quorvane.gateway.bar_store.sqlite_backend import SqliteBackend

        path = url[len(_SQLITE) :]
        if not path.strip("/"):
            raise ValueError("no file named")
        if path.startswith("//"):  # sqlite:////abs/path, as other tools write it
            path = "/" + path.lstrip("/")
        return BarStore(SqliteBackend(Path(path).expanduser()))
    if is_shared(url):
        from quorvane.gateway.bar_store.redis_backend import RedisBackend

        return BarStore(RedisBackend(url))
    raise ValueError(f"expected {MEMORY}, {_SQLITE}/path or redis://host:port/db")
