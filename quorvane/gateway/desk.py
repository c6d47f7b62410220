"""A desk's shared Redis server: the bar store's, when the bar cache keeps its bars in one.

Whoever builds a gateway client asks here, and hands the answer to the pacing guard and to the
count of open requests, which then share their records with the desk's other terminals.
"""

from __future__ import annotations

from quorvane.gateway.pacing import Ledger, ledger_for


def shared_url() -> str | None:
    """The desk's Redis server when the bar cache's store is one, else None."""
    from quorvane.gateway.bar_store import is_shared
    from quorvane.gateway.kline_cache import configured_store_url

    url = configured_store_url()
    return url if is_shared(url) else None


def default_ledger() -> Ledger:
    """Shared through Redis when the bar cache's store is a Redis server, else this process's own."""
    return ledger_for(shared_url())
