"""Listed futures months: last trading days, local symbols and contract ids.

Last trading days follow the exchanges' rules on business days of the
exchange calendar, so a holiday moves an expiry the way the rulebook says.
"""

import calendar
import datetime as dt
from dataclasses import dataclass

from .calendars import FIRST_DAY, LAST_DAY
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


class _BusinessDays:
    """Days on which a root's expiry rule counts: trade dates of its settlement calendar."""

    def __init__(self, root: FutureSpec):
        self.hours = root.settlement_hours or root.hours

    def __contains__(self, day: dt.date) -> bool:
        if FIRST_DAY <= day <= LAST_DAY:
            return self.hours.is_trade_date(day)
        return day.weekday() < 5  # beyond the calendar: every weekday

    def on_or_before(self, day: dt.date) -> dt.date:
        while day not in self:
            day -= dt.timedelta(days=1)
        return day

    def before(self, day: dt.date, count: int) -> dt.date:
        """The `count`-th business day before `day`."""
        while count:
            day -= dt.timedelta(days=1)
            count -= day in self
        return day


def _index_last_trade(days: _BusinessDays, year: int, month: int) -> dt.date:
    # The third Friday, or the business day before it when the stock exchange is closed.
    return days.on_or_before(_third_friday(year, month))


def _energy_last_trade(days: _BusinessDays, year: int, month: int) -> dt.date:
    # Three business days before the 25th of the month before delivery, counted
    # from the last business day before the 25th when the 25th is not one.
    prior = dt.date(year, month, 1) - dt.timedelta(days=1)
    day = prior.replace(day=25)
    if day not in days:
        day = days.before(day, 1)
    return days.before(day, 3)


def _metals_last_trade(days: _BusinessDays, year: int, month: int) -> dt.date:
    # The third last business day of the delivery month.
    after_month = dt.date(year, month, calendar.monthrange(year, month)[1]) + dt.timedelta(days=1)
    return days.before(after_month, 3)


_RULES = {"third_friday": _index_last_trade, "energy": _energy_last_trade, "metals": _metals_last_trade}


def last_trade_date(root: FutureSpec, year: int, month: int) -> dt.date:
    return _RULES[root.expiry](_BusinessDays(root), year, month)


def listed(root: FutureSpec, year: int, month: int) -> bool:
    return MONTH_CODES[month - 1] in root.months


def front_month(root: FutureSpec, today: dt.date) -> FutureContract:
    """The listed month with the nearest last trading day on or after `today`."""
    return next(_trading_months(root, today))


def open_months(root: FutureSpec, today: dt.date) -> list[FutureContract]:
    """Every month listed for trading on `today`, front month first."""
    months = _trading_months(root, today)
    return [next(months) for _ in range(root.open_months)]


EXPIRED_YEARS = 2  # expired months a gateway still lists and serves history for


def expired_months(root: FutureSpec, today: dt.date) -> list[FutureContract]:
    """Months whose last trading day passed within EXPIRED_YEARS of `today`, oldest first."""
    since = today.replace(year=today.year - EXPIRED_YEARS, day=1)
    months = _trading_months(root, since)
    expired = []
    while (contract := next(months)).lastTradeDate < today:
        expired.append(contract)
    return expired


def _trading_months(root: FutureSpec, today: dt.date):
    """Listed months whose last trading day is on or after `today`, in order."""
    year, month = today.year, today.month
    while True:
        if listed(root, year, month):
            contract = FutureContract(root, year, month)
            if contract.lastTradeDate >= today:
                yield contract
        year, month = (year + 1, 1) if month == 12 else (year, month + 1)


def by_con_id(root: FutureSpec, con_id: int) -> FutureContract | None:
    offset = con_id - root.conIdBase - 1
    if not 0 <= offset < 200 * 12:
        return None
    contract = FutureContract(root, BASE_YEAR + offset // 12, offset % 12 + 1)
    return contract if listed(root, contract.year, contract.month) else None


def by_expiry(root: FutureSpec, expiry: str) -> FutureContract | None:
    """ "202603" (contract month) or "20260320" (last trading day) -> that contract."""
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
    """ "ESH6" -> the March contract of the decade around `today`."""
    code = local_symbol[len(root.symbol) :]
    if not local_symbol.startswith(root.symbol) or len(code) != 2 or not code[1].isdigit():
        return None
    if code[0] not in MONTH_CODES:
        return None
    month = MONTH_CODES.index(code[0]) + 1
    year = today.year - today.year % 10 + int(code[1])
    if year < today.year - 1:
        year += 10
    return FutureContract(root, year, month) if listed(root, year, month) else None
