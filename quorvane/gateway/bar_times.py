"""Bar times as the exchange's wall clock, whatever zone the gateway and the host are in.

A gateway writes intraday bar times as its operator set it: in the instrument's zone, in the
operator's own zone, or as UTC in a dashed form that ib_async parses without a zone. The client
turns every answer's times into the exchange's zone, so the module cuts ranges and the intraday
curve by the exchange's calendar dates, and the summary names that zone.

The exchange's zone of a stock (or any other contract) is the timeZoneId of its contract details;
a future's comes from its exchange, because ib_async takes the zone of a future's last trade time
as its timeZoneId, and the gateway gives that time in its operator's zone.

A date as a request's end means the whole of that day at the exchange. ib_async would write it as
the host's local 23:59:59, which east of the exchange falls on the morning of that day there; the
client sends the exchange's 23:59:59 instead, in the UTC form ib_async writes for any moment.
"""

from __future__ import annotations

import asyncio
from datetime import date, datetime, time
from zoneinfo import ZoneInfo

from ib_async import Contract, util

FUTURES_EXCHANGE_ZONES = {
    "CME": "America/Chicago", "CBOT": "America/Chicago", "GLOBEX": "America/Chicago", "ECBOT": "America/Chicago",
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
        self._known: dict[tuple, ZoneInfo | None] = {}  # None: the gateway named no usable zone

    async def of(self, ib, contract: Contract) -> ZoneInfo | None:
        """The zone of the exchange `contract` trades on; None when neither table nor gateway says."""
        if contract.secType in FUTURES:
            return zone_named(FUTURES_EXCHANGE_ZONES.get(contract.exchange))
        key = _key(contract)
        if key not in self._known:
            details = await _details(ib, contract)
            if details is None:
                return None  # asked again next time: the gateway may answer then
            self._known[key] = _zone_of(details)
        return self._known[key]

    def note(self, details: list) -> None:
        """Keep the zones of contract details the client received anyway (qualifying a symbol asks)."""
        for one in details or ():
            contract = getattr(one, "contract", None)
            if contract is not None and contract.conId and contract.secType not in FUTURES:
                self._known[_key(contract)] = _zone_of([one])


def _key(contract: Contract) -> tuple:
    if contract.conId:
        return (contract.secType, contract.conId)
    return (contract.secType, contract.symbol, contract.exchange, contract.primaryExchange, contract.currency)


async def _details(ib, contract: Contract) -> list | None:
    try:
        async with asyncio.timeout(DETAILS_TIMEOUT):
            return await ib.reqContractDetailsAsync(contract) or []
    except (OSError, TimeoutError, ConnectionError):
        return None


def _zone_of(details: list) -> ZoneInfo | None:
    zones = (zone_named(getattr(d, "timeZoneId", "")) for d in details)
    return next((zone for zone in zones if zone is not None), None)


def end_of_day(end: date | str | None, zone: ZoneInfo | None) -> date | str | None:
    """A date end as the gateway's text for the last second of that day at the exchange; any other
    end as it is."""
    if zone is None or isinstance(end, datetime) or not isinstance(end, date):
        return end
    return util.formatIBDatetime(datetime.combine(end, time(23, 59, 59), tzinfo=zone))


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
