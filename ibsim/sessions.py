"""Trading sessions: when an instrument trades, in its exchange's wall-clock time.

The exchange calendar (calendars.py) says which dates trade and when; each
instrument's TradingHours bound that to its own regular and all-hours spans,
which the calendars of futures do not know. A session is given in seconds from
local midnight of its trade date; a negative open is the evening before.
Session arithmetic is done on naive local datetimes, which is safe because no
session spans a US daylight-saving switch (those happen at 02:00 on Sundays).
"""

import datetime as dt
import functools
from dataclasses import dataclass
from zoneinfo import ZoneInfo

import numpy as np

from .calendars import ALL_HOURS, REGULAR, session_table

HOUR = 3600
DAY = 86400


@dataclass(frozen=True, slots=True)
class Session:
    day: dt.date  # trade date
    open: int  # seconds from local midnight of `day`
    close: int

    @property
    def midnight(self) -> dt.datetime:
        return dt.datetime.combine(self.day, dt.time())

    def bounds(self) -> tuple[dt.datetime, dt.datetime]:
        """Local naive open and close."""
        return self.at(self.open), self.at(self.close)

    def at(self, seconds: float) -> dt.datetime:
        return self.midnight + dt.timedelta(seconds=seconds)

    def seconds_to(self, moment: dt.datetime) -> float:
        """`moment` (local naive) as seconds from this session's midnight."""
        return (moment - self.midnight).total_seconds()


@dataclass(frozen=True, eq=False)
class Sessions:
    """One instrument's sessions of one kind (regular or all hours), oldest first."""

    days: np.ndarray  # date ordinals
    opens: np.ndarray  # seconds from each date's local midnight
    closes: np.ndarray
    starts: np.ndarray  # each open as seconds since local midnight of day 0, for searching

    def __len__(self) -> int:
        return len(self.days)

    def __getitem__(self, i: int) -> Session:
        return Session(dt.date.fromordinal(int(self.days[i])), int(self.opens[i]), int(self.closes[i]))

    def find(self, day: dt.date) -> Session | None:
        i = self.first_from(day)
        return self[i] if i < len(self) and self.days[i] == day.toordinal() else None

    def first_from(self, day: dt.date) -> int:
        """Index of the first session on or after `day` (len(self) if none)."""
        return int(np.searchsorted(self.days, day.toordinal()))

    def last_opened_before(self, moment: dt.datetime) -> int:
        """Index of the latest session that opened before `moment` (local naive); -1 if none."""
        seconds = (moment - dt.datetime.min).total_seconds() + DAY  # date.min has ordinal 1
        return int(np.searchsorted(self.starts, seconds, side="left")) - 1


@dataclass(frozen=True)
class TradingHours:
    zone: str  # IANA key that bar times and contract details are given in
    regular: tuple[int, int]  # regular trading hours (useRTH) on a full day
    extended: tuple[int, int]  # all hours the instrument trades on a full day
    calendar: str  # pandas_market_calendars name of the exchange calendar

    def __post_init__(self):
        (start, end), (first, last) = self.regular, self.extended
        if not first <= start < end <= last or any(s % 60 for s in (start, end, first, last)):
            raise ValueError(f"regular hours must lie on whole minutes within extended hours: {self}")
        if last - first > DAY:
            raise ValueError(f"a session cannot last more than a day: {self}")
        _ = self.tzinfo  # an unknown zone fails here rather than mid-request

    @property
    def tzinfo(self) -> ZoneInfo:
        return ZoneInfo(self.zone)

    @property
    def regular_length(self) -> int:
        """Seconds in a full regular session: what one "D" of trading time is."""
        return self.regular[1] - self.regular[0]

    def span(self, use_rth: bool) -> tuple[int, int]:
        return self.regular if use_rth else self.extended

    def sessions(self, use_rth: bool) -> Sessions:
        return _sessions(self, use_rth)

    def is_trade_date(self, day: dt.date) -> bool:
        return self.sessions(use_rth=False).find(day) is not None

    def local(self, moment: dt.datetime) -> dt.datetime:
        """An aware instant as naive wall time of the exchange."""
        return moment.astimezone(self.tzinfo).replace(tzinfo=None)

    def hours_text(self, first: dt.date, days: int, use_rth: bool) -> str:
        """Contract-details style schedule: "20250102:0930-20250102:1600;20250104:CLOSED"."""
        sessions, parts = self.sessions(use_rth), []
        for offset in range(days):
            day = first + dt.timedelta(days=offset)
            session = sessions.find(day)
            if session is None:
                parts.append(f"{day:%Y%m%d}:CLOSED")
            else:
                start, end = session.bounds()
                parts.append(f"{start:%Y%m%d:%H%M}-{end:%Y%m%d:%H%M}")
        return ";".join(parts)


@functools.cache
def _sessions(hours: TradingHours, use_rth: bool) -> Sessions:
    """The calendar's sessions cut to the instrument's own span; days left empty drop out."""
    table = session_table(hours.calendar, hours.zone)
    column = REGULAR if use_rth else ALL_HOURS
    start, end = hours.span(use_rth)
    opens = np.maximum(table.opens[:, column], start)
    closes = np.minimum(table.closes[:, column], end)
    trading = opens < closes
    days, opens = table.days[trading], opens[trading]
    return Sessions(days, opens, closes[trading], days * DAY + opens)


US_STOCK_HOURS = TradingHours("US/Eastern", (9 * HOUR + 1800, 16 * HOUR), (4 * HOUR, 20 * HOUR), "NYSE")
# CME Globex: Sunday-Friday 17:00-16:00 Central with a daily one-hour break;
# the equity-index day session 08:30-15:15 Central serves as regular hours.
CME_HOURS = TradingHours("US/Central", (8 * HOUR + 1800, 15 * HOUR + 900), (-7 * HOUR, 16 * HOUR), "CME_Equity")
# NYMEX energy on Globex: 18:00-17:00 Eastern; the former pit session 09:00-14:30 is regular hours.
NYMEX_HOURS = TradingHours("US/Eastern", (9 * HOUR, 14 * HOUR + 1800), (-6 * HOUR, 17 * HOUR), "CMEGlobex_Energy")
# COMEX metals on Globex: 18:00-17:00 Eastern; the former pit session 08:20-13:30 is regular hours.
COMEX_HOURS = TradingHours(
    "US/Eastern", (8 * HOUR + 1200, 13 * HOUR + 1800), (-6 * HOUR, 17 * HOUR), "CMEGlobex_Metals"
)
# US indices are computed while their stocks trade: the NYSE calendar, regular hours only.
US_INDEX_HOURS = TradingHours("US/Eastern", (9 * HOUR + 1800, 16 * HOUR), (9 * HOUR + 1800, 16 * HOUR), "NYSE")
