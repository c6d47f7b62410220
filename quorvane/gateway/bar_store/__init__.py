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

from quorvane.gateway.bar_store.urls import MEMORY, REDIS as _REDIS, SQLITE as _SQLITE, url_problem, without_password

__all__ = ["MEMORY", "default_url", "is_shared", "open_store", "url_problem", "without_password"]


def default_url() -> str:
    """The SQLite file in the user's cache folder."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    folder = Path(base) if os.path.isabs(base) else Path.home() / ".cache"  # relative: ignored, as XDG says
    return _SQLITE + str(folder / "quorvane" / "bars.sqlite")


def is_shared(url: str) -> bool:
    """Whether the store is a server that several processes of a desk share."""
    return url.startswith(_REDIS)


def open_store(url: str) -> BarStore | None:
    """The store `url` names; None for memory only. ValueError for a URL that names no usable store."""
    from quorvane.gateway.bar_store.store import BarStore

    if (problem := url_problem(url)) is not None:
        raise ValueError(problem)
    if url == MEMORY:
        return None
    if url.startswith(_SQLITE):
        from quorvane.gateway.bar_store.sqlite_backend import SqliteBackend

        path = url[len(_SQLITE) :]
        if path.startswith("//"):  # sqlite:////abs/path, as other tools write it
            path = "/" + path.lstrip("/")
        return BarStore(SqliteBackend(Path(path).expanduser()))
    if is_shared(url):
        from quorvane.gateway.bar_store.redis_backend import RedisBackend

        return BarStore(RedisBackend(url))
    raise AssertionError(f"url_problem passed {without_password(url)}")
