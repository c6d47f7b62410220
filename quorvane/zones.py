"""The time zone of a record's bar times, where the host can know it.

Daily and longer bars are calendar dates and have no zone. Intraday bar times
are wall-clock times without a zone: from the gateway in the exchange's zone
(the host's client gives them so and notes it; for another client, the
contract details name a stock's zone and a future's exchange its own), from
public data in the exchange's zone (which yfinance keeps in its zone cache
once it has fetched the symbol).
"""

from __future__ import annotations

import sys
from datetime import datetime

from quorvane.gateway.bar_times import ExchangeZones
from quorvane.records import bars_of
from quorvane.state import contract_for
from quorvane.symbols import yahoo_symbol

# Zones of contracts do not change in a session.
_exchange_zones = ExchangeZones()


async def bar_zone(record: object, state, dates_too: bool = False) -> str | None:
    """The zone name ("America/New_York") of the record's bar times, or None when unknown or dateless.

    `dates_too`: also the exchange's zone for bars that are calendar dates (daily bars).
    """
    bars = bars_of(record)
    if not bars or not isinstance(record, dict) or not (dates_too or _has_times_of_day(bars)):
        return None
    symbol = record.get("symbol")
    if not isinstance(symbol, str) or not symbol:
        return None
    if record.get("source") == "ibkr" and getattr(state, "connected", False):
        return await _gateway_zone(state.ib, symbol)
    return _public_zone(symbol)


def _has_times_of_day(bars: list) -> bool:
    dates = (bar.get("date") for bar in bars if isinstance(bar, dict))
    return any(isinstance(d, datetime) and (d.hour, d.minute, d.second) != (0, 0, 0) for d in dates)


async def _gateway_zone(ib, symbol: str) -> str | None:
    noted = getattr(ib, "bar_zone", None)
    if callable(noted) and noted(symbol):
        return noted(symbol)
    contract = contract_for(symbol)
    zone = await _exchange_zones.of(ib, contract) if contract is not None else None
    return zone.key if zone is not None else None


def _public_zone(symbol: str) -> str | None:
    cache = sys.modules.get("yfinance.cache")  # only if the fallback already loaded yfinance
    try:
        zone = cache.get_tz_cache().lookup(yahoo_symbol(symbol)) if cache is not None else None
    except Exception:  # the library's cache is a convenience: any failure means "not known"
        return None
    return zone if isinstance(zone, str) and zone else None
