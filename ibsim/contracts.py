"""Contract resolution and the contract-details answer (msg 10) for the universe."""

import datetime as dt
from collections.abc import Mapping
from dataclasses import dataclass
from zoneinfo import ZoneInfo

from . import expiries
from .expiries import FutureContract
from .messages import WireContract
from .universe import FutureSpec, IndexSpec, StockSpec, Universe

_COMMON_ORDER_TYPES = "ACTIVETIM,AD,ADJUST,ALERT,ALLOC,GAT,GTC,GTD,LIT,LMT,MIT,MKT,MTL,STP,STPLMT,TRAIL,TRAILLIMIT"
STOCK_ORDER_TYPES = _COMMON_ORDER_TYPES + ",AVGCOST,BASKET,MOC,REL"
FUTURE_ORDER_TYPES = _COMMON_ORDER_TYPES
SCHEDULE_DAYS = 7
LISTING_ZONE = ZoneInfo("America/New_York")


def listing_today(now: dt.datetime) -> dt.date:
    """The calendar day that decides expiries and the front month (US exchanges)."""
    return now.astimezone(LISTING_ZONE).date()


@dataclass(frozen=True)
class Listing:
    """One resolved contract, as a contract-details answer describes it."""

    spec: StockSpec | FutureSpec
    secType: str  # STK, IND, FUT or CONTFUT
    exchange: str
    future: FutureContract | None = None

    @property
    def hours(self):
        return self.spec.hours

    @property
    def market(self):
        return self.spec.market

    @property
    def symbol(self) -> str:
        return self.spec.symbol

    @property
    def localSymbol(self) -> str:
        return self.future.localSymbol if self.future else self.spec.symbol

    def query_text(self, what_to_show: str) -> str:
        """How HMDS names a query in its messages, e.g. "ESM3@CME Trades"."""
        return f"{self.localSymbol}@{self.exchange} {what_to_show.replace('_', ' ').title()}"


def _currency_ok(spec, currency: str) -> bool:
    return currency in ("", spec.currency)


def _stock_listing(spec: StockSpec, c: WireContract) -> Listing | None:
    if c.exchange and c.exchange not in spec.exchanges:
        return None
    if not _currency_ok(spec, c.currency):
        return None
    return Listing(spec, spec.secType, c.exchange or spec.exchanges[0])


def _future_listings(root: FutureSpec, c: WireContract, include_expired: bool, today: dt.date) -> list[Listing]:
    if c.exchange not in ("", root.exchange) or not _currency_ok(root, c.currency):
        return []
    if (c.secType or "FUT") == "CONTFUT":
        # A continuous future ignores expiry fields (clients copy them from a month contract).
        return [Listing(root, "CONTFUT", root.exchange, expiries.front_month(root, today))]
    if not (c.conId or c.localSymbol or c.lastTradeDateOrContractMonth):
        # Without an expiry every open month matches, as on a real gateway; with includeExpired
        # also the months that expired within two years.
        months = expiries.open_months(root, today)
        if include_expired:
            months = expiries.expired_months(root, today) + months
        return [Listing(root, "FUT", root.exchange, m) for m in months]
    contract = _month_contract(root, c, today)
    if contract is None or (contract.lastTradeDate < today and not include_expired):
        return []
    return [Listing(root, "FUT", root.exchange, contract)]


def _month_contract(root: FutureSpec, c: WireContract, today: dt.date) -> FutureContract | None:
    if c.conId:
        return expiries.by_con_id(root, c.conId)
    if c.localSymbol:
        return expiries.by_local_symbol(root, c.localSymbol, today)
    return expiries.by_expiry(root, c.lastTradeDateOrContractMonth)


def _root_of(universe: Universe, c: WireContract, today: dt.date) -> FutureSpec | None:
    if c.symbol:
        return universe.futures.get(c.symbol.upper())
    for root in universe.futures.values():
        if c.localSymbol and expiries.by_local_symbol(root, c.localSymbol, today):
            return root
        if c.conId and expiries.by_con_id(root, c.conId):
            return root
    return None


def _stock_of(listed: Mapping[str, StockSpec], c: WireContract) -> StockSpec | None:
    if c.symbol:
        return listed.get(c.symbol.upper())
    return next((s for s in listed.values() if c.conId and s.conId == c.conId), None)


def resolve(universe: Universe, c: WireContract, include_expired: bool, today: dt.date) -> list[Listing]:
    """Every contract a request matches; none means the gateway says error 200."""
    for sec_type, listed in (("STK", universe.stocks), ("IND", universe.indices)):
        if c.secType not in ("", sec_type):
            continue
        stock = _stock_of(listed, c)
        if stock and (not c.conId or c.conId == stock.conId):
            listing = _stock_listing(stock, c)
            return [listing] if listing else []
    if c.secType in ("", "FUT", "CONTFUT"):
        root = _root_of(universe, c, today)
        if root:
            return _future_listings(root, c, include_expired, today)
    return []


def details_fields(listing: Listing, today: dt.date, operator_zone: str) -> list:
    """Fields of a contract-details message after its reqId (server version 178)."""
    spec = listing.spec
    hours = spec.hours
    trading = hours.hours_text(today, SCHEDULE_DAYS, use_rth=False)
    liquid = hours.hours_text(today, SCHEDULE_DAYS, use_rth=True)
    if isinstance(spec, StockSpec):
        return _stock_fields(spec, listing, trading, liquid)
    return _future_fields(spec, listing, trading, liquid, ZoneInfo(operator_zone))


def _stock_fields(spec: StockSpec, listing: Listing, trading: str, liquid: str) -> list:
    sec_ids = [1, "ISIN", spec.isin] if spec.isin else [0]
    m = spec.market
    order_types = "" if isinstance(spec, IndexSpec) else STOCK_ORDER_TYPES  # an index is not traded
    return [
        spec.symbol,
        spec.secType,
        "",
        0,
        "",
        listing.exchange,
        spec.currency,
        spec.symbol,
        spec.trading_class,
        spec.trading_class,
        spec.conId,
        m.tick,
        "",
        order_types,
        ",".join(spec.exchanges),
        1,
        0,
        spec.longName,
        spec.primaryExchange,
        "",
        spec.industry,
        spec.category,
        spec.category,
        spec.hours.zone,
        trading,
        liquid,
        "",
        "",
        *sec_ids,
        1,
        "",
        "",
        "26",
        "",
        spec.stockType,
        "0.0001",
        "0.0001",
        "100",
    ]


def _future_fields(root: FutureSpec, listing: Listing, trading: str, liquid: str, operator: ZoneInfo) -> list:
    month = listing.future
    assert month is not None, "a future's listing names its contract month"
    # The last trade as the operator's wall time, e.g. "20260320 14:30:00 Europe/Zurich":
    # ib_async splits this on blanks and takes the third token as timeZoneId.
    last_trade = dt.datetime.combine(month.lastTradeDate, dt.time.fromisoformat(root.expiryTime))
    last_trade = last_trade.replace(tzinfo=root.hours.tzinfo).astimezone(operator)
    last_times = f"{last_trade:%Y%m%d %H:%M:%S} {operator.key}"
    return [
        root.symbol,
        listing.secType,
        last_times,
        0,
        "",
        root.exchange,
        root.currency,
        month.localSymbol,
        root.symbol,
        root.symbol,
        month.conId,
        root.market.tick,
        root.multiplier,
        FUTURE_ORDER_TYPES,
        root.exchange,
        1,
        root.underConId,
        root.longName,
        "",
        month.contractMonth,
        "",
        "",
        "",
        root.hours.zone,
        trading,
        liquid,
        "",
        "",
        0,
        2,
        root.symbol,
        root.underSecType,
        root.marketRuleIds,
        f"{month.lastTradeDate:%Y%m%d}",
        "",
        "1",
        "1",
        "1",
    ]
