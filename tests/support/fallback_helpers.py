"""Values and helpers the fallback tests share."""

from fixtures.yf import REFERENCE_TIME
from quorvane.cmds.quotes import kline
from quorvane.gateway.kline_cache import KlineCache

TODAY = REFERENCE_TIME.date()  # Friday 13 June 2025
BAR_COLUMNS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]


def cached(key_kind: str, *words):
    """What the module's bar cache holds under KlineCache.<key_kind>_key(*words)."""
    return kline._get_cache().get(getattr(KlineCache, f"{key_kind}_key")(*words))


def cache_size() -> int:
    return len(kline._get_cache())
