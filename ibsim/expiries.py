"""Listed futures months: last trading days, local symbols and contract ids."""

import datetime as dt
from dataclasses import dataclass

from .sessions import is_trade_date
from .universe import FutureSpec

MONTH_CODES = "FGHJKMNQUVXZ"
BASE_YEAR = 2000


@dataclass(frozen=True)
class FutureContract:
    root: FutureSpec
    year: int
    month: int

    @property
    def lastTradeDate(self) -> dt.date:
        return last_trade_date(self.root, self.year, self.month)

    @property
    def contractMonth(self) -> str:
        return f"{self.year}{self.month:02d}"

    @property
    def localSymbol(self) -> str:
        return f"{self.root.symbol}{MONTH_CODES[self.month - 1]}{self.year % 10}"

    @property
    def conId(self) -> int:
        return self.root.conIdBase + (self.year - BASE_YEAR) * 12 + self.month


def _third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def _business_days_before(day: dt.date, count: int) -> dt.date:
    while count:
        day -= dt.timedelta(days=1)
        count -= is_trade_date(day)
    return day


def _energy_last_trade(year: int, month: int) -> dt.date:
    # Three business days before the 25th of the month before delivery
    # (counted from the business day before the 25th when that is a weekend).
    prior = dt.date(year, month, 1) - dt.timedelta(days=1)
    day = prior.replace(day=25)
    if not is_trade_date(day):
        day = _business_days_before(day, 1)
    return _business_days_before(day, 3)


def last_trade_date(root: FutureSpec, year: int, month: int) -> dt.date:
    if root.expiry == "energy":
        return _energy_last_trade(year, month)
    return _third_friday(year, month)


def listed(root: FutureSpec, year: int, month: int) -> bool:
    return MONTH_CODES[month - 1] in root.months


def front_month(root: FutureSpec, today: dt.date) -> FutureContract:
    """The listed month with the nearest last trading day on or after `today`."""
    year, month = today.year, today.month
    while True:
        if listed(root, year, month):
            contract = FutureContract(root, year, month)
            if contract.lastTradeDate >= today:
                return contract
        year, month = (year + 1, 1) if month == 12 else (year, month + 1)


def by_con_id(root: FutureSpec, con_id: int) -> FutureContract | None:
    offset = con_id - root.conIdBase - 1
    if not 0 <= offset < 200 * 12:
        return None
    contract = FutureContract(root, BASE_YEAR + offset // 12, offset % 12 + 1)
    return contract if listed(root, contract.year, contract.month) else None


def by_expiry(root: FutureSpec, expiry: str) -> FutureContract | None:
    """"202603" (contract month) or "20260320" (last trading day) -> that contract."""
    if len(expiry) not in (6, 8) or not expiry.isdigit():
        return None
    year, month = int(expiry[:4]), int(expiry[4:6])
    if not (1 <= month <= 12 and listed(root, year, month)):
        return None
    contract = FutureContract(root, year, month)
    if len(expiry) == 8 and f"{contract.lastTradeDate:%Y%m%d}" != expiry:
        return None
    return contract


def by_local_symbol(root: FutureSpec, local_symbol: str, today: dt.date) -> FutureContract | None:
    """"ESH6" -> the March contract of the decade around `today`."""
    code = local_symbol[len(root.symbol):]
    if not local_symbol.startswith(root.symbol) or len(code) != 2 or not code[1].isdigit():
        return None
    if code[0] not in MONTH_CODES:
        return None
    month = MONTH_CODES.index(code[0]) + 1
    year = today.year - today.year % 10 + int(code[1])
    if year < today.year - 1:
        year += 10
    return FutureContract(root, year, month) if listed(root, year, month) else None
