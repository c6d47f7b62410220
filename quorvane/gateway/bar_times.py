"""Bar times as the exchange's wall clock, whatever zone the gateway and the host are in.

A gateway writes intraday bar times as its operator set it: in the instrument's zone, in the
operator's own zone, or as UTC in a dashed form that ib_async parses without a zone. The client
turns every answer's times into the exchange's zone, so the module cuts ranges and the intraday
curve by the exchange's calendar dates, and the summary names that zone.

The exchange's zone of a stock (or any other contract) is the timeZoneId of its contract details;
a future's comes from its exchange, because ib_async takes the zone of a future's last trade time
as its timeZoneId, and the gateway gives that time in its operator's zone.

A date as a request's end means the whole of that day at the exchange. ib_async would write it as
the host's local 23:59:59, which east of the exchange falls on the morning of that day there.
"""

from __future__ import annotations

import asyncio
from datetime import date, datetime
from zoneinfo import ZoneInfo

from ib_async import Contract

FUTURES_EXCHANGE_ZONES = {
    "CME": "America/Chicago", "CBOT": "America/Chicago",
    "NYMEX": "America/New_York", "COMEX": "America/New_York",
}  # fmt: skip
FUTURES = ("FUT", "CONTFUT")
UTC = ZoneInfo("UTC")
# A gateway that does not answer the contract details within this leaves the zone unknown.
DETAILS_TIMEOUT = 3.0


def zone_named(name: str | None) -> ZoneInfo | None:
    """The zone of an IANA name; None for no name or one that names no zone."""
    try:
        return ZoneInfo(name) if name else None
    except (KeyError, ValueError, OSError):  # unknown, malformed, a folder of zones
        return None


class ExchangeZones:
    """The exchange zone of each contract a client asks about, looked up once a session."""

    def __init__(self) -> None:
        self._known: dict[tuple, ZoneInfo] = {}

    async def of(self, ib, contract: Contract) -> ZoneInfo | None:
        """The zone of the exchange `contract` trades on; None when neither table nor gateway says."""
        if contract.secType in FUTURES:
            return zone_named(FUTURES_EXCHANGE_ZONES.get(contract.exchange))
        key = (contract.secType, contract.conId or contract.symbol, contract.exchange,
               contract.primaryExchange, contract.currency)  # fmt: skip
        if key not in self._known:
            zone = await _details_zone(ib, contract)
            if zone is None:
                return None  # asked again next time: the gateway may answer then
            self._known[key] = zone
        return self._known[key]


async def _details_zone(ib, contract: Contract) -> ZoneInfo | None:
    try:
        async with asyncio.timeout(DETAILS_TIMEOUT):
            details = await ib.reqContractDetailsAsync(contract)
    except (OSError, TimeoutError, ConnectionError):
        return None
    zones = (zone_named(getattr(d, "timeZoneId", "")) for d in details or ())
    return next((zone for zone in zones if zone is not None), None)


def end_of_day(end: object, zone: ZoneInfo | None) -> object:
    """A date end as the last second of that day at the exchange; any other end as it is."""
    if zone is None or isinstance(end, datetime) or not isinstance(end, date):
        return end
    return f"{end:%Y%m%d} 23:59:59 {zone.key}"


def to_exchange_time(bars: list, zone: ZoneInfo | None) -> None:
    """Give the bars' times in `zone` (in place); times without a zone are UTC, as the gateway sent them.

    Daily and longer bars are dates and stay as they are. With no zone known, times keep the zone
    they came in, and those without one become UTC.
    """
    first = bars[0].date if bars else None
    if not isinstance(first, datetime) or (zone is not None and first.tzinfo is zone):
        return  # dates, or times already in the zone (ib_async gives one answer's times one zone)
    for bar in bars:
        stamp = bar.date
        if isinstance(stamp, datetime):
            if stamp.tzinfo is None:
                stamp = stamp.replace(tzinfo=UTC)
            bar.date = stamp.astimezone(zone) if zone is not None else stamp
