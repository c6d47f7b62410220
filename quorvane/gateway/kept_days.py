"""The bars of days that have closed, kept in the bar store as chunks of a long request land.

One entry per series (contract, bar size, data type, hours, date format) and day, a day without
bars (a holiday) as an empty one, so a request that is interrupted or fails keeps what came, and
asking again, or for a longer range, fetches only the days not kept yet. Days still trading are
never kept. The store is the bar cache's (KLINE_CACHE_URL); with `memory:` nothing is kept.
"""

from __future__ import annotations

import dataclasses
import json
from datetime import date

from ib_async import BarData

from quorvane.gateway.bar_store import open_store
from quorvane.gateway.kline_cache import configured_store_url

_stores: dict[str, object] = {}  # URL -> BarStore (None: nothing outlives the process)


class KeptDays:
    def __init__(self, store, series: list) -> None:
        self.store = store
        self.series = series

    @classmethod
    def of(cls, request) -> KeptDays | None:
        """The kept days of a request's series, or None when the bar store keeps nothing."""
        url = configured_store_url()
        if url not in _stores:
            try:
                _stores[url] = open_store(url)
            except ValueError:  # a bad URL: the cache warns about it; nothing is kept here
                _stores[url] = None
        store = _stores[url]
        if store is None:
            return None
        contract = request.contract
        identity = (
            [contract.conId]
            if contract.conId
            else [contract.secType, contract.symbol, contract.exchange, contract.currency, contract.localSymbol]
        )
        return cls(store, [*identity, request.bar_size, request.what, bool(request.use_rth), request.format_date])

    def key(self, day: date) -> str:
        return json.dumps(["day", *self.series, day.isoformat()])

    def load(self, days, today: date) -> dict[date, list]:
        """The bars of every kept day among `days` (only days before `today`)."""
        kept = {}
        for day in days:
            if day < today and (found := self.store.load(self.key(day))) is not None:
                kept[day] = [BarData(**record) for record in found[0]]
        return kept

    def keep(self, days, bars: list, today: date, day_of) -> None:
        """Keep each of `days` before `today` with its bars among `bars` (none: a day without trading)."""
        by_day: dict[date, list] = {day: [] for day in days if day < today}
        for bar in bars:
            if (held := by_day.get(day_of(bar))) is not None:
                held.append(dataclasses.asdict(bar))
        for day, records in by_day.items():
            self.store.save(self.key(day), records, None)
