"""The wording of a historical-data request: bar size, duration and end time."""

import calendar
import datetime as dt
import re
from dataclasses import dataclass
from zoneinfo import ZoneInfo

_BAR_UNITS = {"secs": 1, "min": 60, "mins": 60, "hour": 3600, "hours": 3600}
# As the gateway lists them when it refuses another; clients send "1 week" and
# "1 month" (ib_async's documented values), which it takes as well.
LEGAL_BAR_SIZES = (
    "1 secs",
    "5 secs",
    "10 secs",
    "15 secs",
    "30 secs",
    "1 min",
    "2 mins",
    "3 mins",
    "5 mins",
    "10 mins",
    "15 mins",
    "20 mins",
    "30 mins",
    "1 hour",
    "2 hours",
    "3 hours",
    "4 hours",
    "8 hours",
    "1 day",
    "1W",
    "1M",
)
CALENDAR_BARS = {"1 day": "day", "1 week": "week", "1W": "week", "1 month": "month", "1M": "month"}
VALID_BAR_SIZES = (*LEGAL_BAR_SIZES, "1 week", "1 month")


class TermError(ValueError):
    """A request term the gateway would refuse."""


@dataclass(frozen=True)
class BarSize:
    seconds: int  # 0 for calendar bars
    calendar: str = ""  # "day", "week" or "month"

    @property
    def multi_day(self) -> bool:
        return self.calendar in ("week", "month")


@dataclass(frozen=True)
class Duration:
    count: int
    unit: str  # S, D, W, M or Y

    @property
    def is_calendar_span(self) -> bool:
        """Weeks, months and years are calendar spans; seconds and days count trading time."""
        return self.unit in "WMY"

    def first_date(self, anchor: dt.date) -> dt.date:
        """Earliest trade date inside a calendar span (W, M or Y) ending with `anchor`."""
        if self.unit == "W":
            return anchor - dt.timedelta(days=min(7 * self.count - 1, anchor.toordinal() - 1))
        months = self.count * (12 if self.unit == "Y" else 1)
        try:
            return _months_before(anchor, months) + dt.timedelta(days=1)
        except ValueError:  # reaches before year 1: no data there anyway
            return dt.date.min


def _months_before(day: dt.date, months: int) -> dt.date:
    year, month = divmod(day.year * 12 + day.month - 1 - months, 12)
    if year < dt.MINYEAR:
        raise ValueError("before year 1")
    return dt.date(year, month + 1, min(day.day, calendar.monthrange(year, month + 1)[1]))


def parse_bar_size(text: str) -> BarSize:
    if text not in VALID_BAR_SIZES:
        raise TermError(f"Invalid bar size: {text!r}")
    if text in CALENDAR_BARS:
        return BarSize(0, CALENDAR_BARS[text])
    count, unit = text.split(" ")
    return BarSize(int(count) * _BAR_UNITS[unit])


_DURATION = re.compile(r"([1-9][0-9]*) ([SDWMY])")


def parse_duration(text: str) -> Duration:
    match = _DURATION.fullmatch(text)
    if not match:
        raise TermError(f"Invalid duration: {text!r}")
    return Duration(int(match[1]), match[2])


_UTC_DASHED = re.compile(r"(\d{8})-(\d\d:\d\d:\d\d)")
_SPACED = re.compile(r"(\d{8}) (\d\d:\d\d:\d\d)(?: (\S+))?")


@dataclass(frozen=True)
class EndTime:
    moment: dt.datetime  # aware
    implied_zone: bool  # no zone given: the gateway warns and uses its own zone


def parse_end(text: str, now: dt.datetime, operator_zone: str) -> EndTime:
    """ "" -> now; "yyyymmdd HH:MM:SS [zone]" or "yyyymmdd-HH:MM:SS" (UTC).

    Raises TermError for anything else, or for a date, time or zone that does not exist.
    """
    if text == "":
        return EndTime(now, False)
    if match := _UTC_DASHED.fullmatch(text):
        return EndTime(_moment(match[1], match[2], "UTC"), False)
    if match := _SPACED.fullmatch(text):
        zone = match[3] or operator_zone
        return EndTime(_moment(match[1], match[2], zone), match[3] is None)
    raise TermError(f"Invalid end date/time: {text!r}")


def _moment(day: str, clock: str, zone: str) -> dt.datetime:
    try:
        naive = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S")
        return naive.replace(tzinfo=ZoneInfo(zone))
    except (ValueError, KeyError, OSError) as exc:  # bad date, unknown or malformed zone
        raise TermError(f"Invalid end date/time: {day} {clock} {zone}") from exc


# The longest duration each bar size allows, from IBKR's "Max Duration Per Bar
# Size" table (TWS API documentation, Historical Bars): every bar size goes up
# to 86400 S, 365 D, 52 W, 12 M or 68 Y, except "1 secs" bars, 2000 S at most.
MAX_DURATION = {"S": 86400, "D": 365, "W": 52, "M": 12, "Y": 68}
ONE_SECOND_BARS_MAX = 2000


def over_unit_limit(duration: Duration) -> bool:
    return duration.count > MAX_DURATION[duration.unit]


def over_step_limit(bar_size: BarSize, duration: Duration) -> bool:
    if bar_size.seconds != 1:
        return False
    return duration.unit != "S" or duration.count > ONE_SECOND_BARS_MAX
