"""A continuous future's range, fetched from the dated months that were front month during it.

The gateway takes no end date for a continuous future (10339), so asking one for a range in the
past would mean asking from the range's start up to today: years of minute bars to keep two days.
The host instead asks the dated months (includeExpired) for the range's days, each with an
explicit end, and joins their bars at the rolls: a day's bars come from the month with the
nearest last trading day on or after it, the continuous future's own front month.
"""

from __future__ import annotations

import asyncio
import weakref
from dataclasses import replace
from datetime import date

from ib_async import BarDataList, Contract, Future

from quorvane.gateway import chunks
from quorvane.gateway.bar_times import end_of_day

_months_of: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()  # client -> {root: months}


def serves(request) -> bool:
    """True for a continuous future's request that names an end."""
    return (
        request.contract.secType == "CONTFUT"
        and bool(request.end)
        and request.what != "ADJUSTED_LAST"
        and chunks.end_day(request, date.min) is not None
    )


async def fetch(client, request, fetch_one, answer: BarDataList, timeout: float) -> BarDataList:
    """The range's bars from its dated months, in order, in `answer`."""
    months = await _months(client, request.contract)
    last = chunks.end_day(request, date.min)
    assert last is not None, "serves() takes only a request with an end it can read"
    days = chunks.covered_days(request, last)
    segments = _by_front_month(days, months)
    if not segments:
        return answer
    zone = getattr(request, "zone", None)
    asks = [
        fetch_one(replace(request, contract=month, end=end_of_day(span[-1], zone), duration=f"{len(span)} D"), timeout)
        for month, span in segments
    ]
    for (_, span), bars in zip(segments, await asyncio.gather(*asks), strict=True):
        answer.extend(bar for bar in bars if span[0] <= chunks.bar_day(bar) <= span[-1])
    return answer


async def _months(client, contract: Contract) -> list[Contract]:
    """The root's dated months, expired ones too, by last trading day; remembered per connection."""
    key = (contract.symbol, contract.exchange, contract.currency)
    remembered = _months_of.setdefault(client, {})
    known = remembered.get(key)
    if known is None:
        asked = Future(
            symbol=contract.symbol, exchange=contract.exchange, currency=contract.currency, includeExpired=True
        )
        details = await client.reqContractDetailsAsync(asked)
        known = sorted(
            (d.contract for d in details if d.contract.lastTradeDateOrContractMonth),
            key=lambda c: c.lastTradeDateOrContractMonth[:8],
        )
        for month in known:
            month.includeExpired = True
        remembered[key] = known
    return known


def _by_front_month(days: tuple[date, ...], months: list[Contract]) -> list[tuple[Contract, tuple[date, ...]]]:
    """Consecutive days grouped by the month that was front month on each."""
    segments: list[tuple[Contract, list[date]]] = []
    last_days = [_last_day(m) for m in months]
    for day in days:
        front = next((m for m, last in zip(months, last_days, strict=True) if last >= day), None)
        if front is None:
            continue
        if segments and segments[-1][0] is front:
            segments[-1][1].append(day)
        else:
            segments.append((front, [day]))
    return [(month, tuple(span)) for month, span in segments]


def _last_day(month: Contract) -> date:
    text = month.lastTradeDateOrContractMonth[:8]
    return date(int(text[:4]), int(text[4:6]), int(text[6:8]))
