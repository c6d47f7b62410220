"""Trading sessions: when an instrument trades, in its exchange's local time.

Kept simple on purpose: trade dates are Monday to Friday with no holidays.
A session is given in seconds from local midnight of its trade date; a
negative start means the previous evening (futures open the evening before).
All session arithmetic is done on naive local datetimes, which is safe because
no session spans a US daylight-saving switch (those happen at 02:00 on Sundays).
"""

import datetime as dt
from dataclasses import dataclass
from zoneinfo import ZoneInfo

HOUR = 3600
DAY = 86400


@dataclass(frozen=True)
class TradingHours:
    zone: str  # IANA key that bar times and contract details are given in
    regular: tuple[int, int]  # regular trading hours (useRTH)
    extended: tuple[int, int]  # all hours the instrument trades

    def __post_init__(self):
        (start, end), (first, last) = self.regular, self.extended
        if not first <= start < end <= last or any(s % 60 for s in (start, end, first, last)):
            raise ValueError(f"regular hours must lie on whole minutes within extended hours: {self}")
        if last - first > DAY:
            raise ValueError(f"a session cannot last more than a day: {self}")
        self.tzinfo  # an unknown zone fails here rather than mid-request

    @property
    def tzinfo(self) -> ZoneInfo:
        return ZoneInfo(self.zone)

    def span(self, use_rth: bool) -> tuple[int, int]:
        return self.regular if use_rth else self.extended

    def bounds(self, trade_date: dt.date, use_rth: bool) -> tuple[dt.datetime, dt.datetime]:
        """Local naive open and close of the session for `trade_date`."""
        midnight = dt.datetime.combine(trade_date, dt.time())
        start, end = self.span(use_rth)
        return midnight + dt.timedelta(seconds=start), midnight + dt.timedelta(seconds=end)

    def local(self, moment: dt.datetime) -> dt.datetime:
        """An aware instant as naive wall time of the exchange."""
        return moment.astimezone(self.tzinfo).replace(tzinfo=None)

    def latest_session(self, local_end: dt.datetime, use_rth: bool) -> dt.date:
        """Trade date of the last session that has opened by `local_end`."""
        day = local_end.date() + dt.timedelta(days=1)
        while not (is_trade_date(day) and self.bounds(day, use_rth)[0] <= local_end):
            day -= dt.timedelta(days=1)
        return day

    def hours_text(self, first: dt.date, days: int, use_rth: bool) -> str:
        """Contract-details style schedule: "20250102:0930-20250102:1600;20250104:CLOSED"."""
        parts = []
        for offset in range(days):
            day = first + dt.timedelta(days=offset)
            if not is_trade_date(day):
                parts.append(f"{day:%Y%m%d}:CLOSED")
                continue
            start, end = self.bounds(day, use_rth)
            parts.append(f"{start:%Y%m%d:%H%M}-{end:%Y%m%d:%H%M}")
        return ";".join(parts)


def is_trade_date(day: dt.date) -> bool:
    return day.weekday() < 5


def trade_dates(first: dt.date, last: dt.date) -> list[dt.date]:
    """Trade dates from `first` to `last`, both included."""
    count = (last - first).days + 1
    days = (first + dt.timedelta(days=i) for i in range(max(count, 0)))
    return [d for d in days if is_trade_date(d)]


US_STOCK_HOURS = TradingHours("US/Eastern", (9 * HOUR + 1800, 16 * HOUR), (4 * HOUR, 20 * HOUR))
# CME Globex: Sunday-Friday 17:00-16:00 Central with a daily one-hour break;
# the equity-index day session 08:30-15:15 Central serves as regular hours.
CME_HOURS = TradingHours("US/Central", (8 * HOUR + 1800, 15 * HOUR + 900), (-7 * HOUR, 16 * HOUR))
# NYMEX energy: 18:00-17:00 Eastern; the former pit session 09:00-14:30 is regular hours.
NYMEX_HOURS = TradingHours("US/Eastern", (9 * HOUR, 14 * HOUR + 1800), (-6 * HOUR, 17 * HOUR))
