"""The wording of a historical-data request: bar size, duration and end time."""

import calendar
import datetime as dt
import re
from dataclasses import dataclass
from zoneinfo import ZoneInfo

_BAR_UNITS = {"secs": 1, "min": 60, "mins": 60, "hour": 3600, "hours": 3600}
VALID_BAR_SIZES = (
    "1 secs", "5 secs", "10 secs", "15 secs", "30 secs",
    "1 min", "2 mins", "3 mins", "5 mins", "10 mins", "15 mins", "20 mins", "30 mins",
    "1 hour", "2 hours", "3 hours", "4 hours", "8 hours",
    "1 day", "1 week", "1 month",
)  # fmt: skip
CALENDAR_BARS = {"1 day": "day", "1 week": "week", "1 month": "month"}


class TermError(ValueError):
    """A request term the gateway would refuse."""


@dataclass(frozen=True)
class BarSize:
    seconds: int  # 0 for calendar bars
    calendar: str = ""  # "day", "week" or "month"


@dataclass(frozen=True)
class Duration:
    count: int
    unit: str  # S, D, W, M or Y

    def first_date(self, anchor: dt.date) -> dt.date:
        """Earliest trade date inside a calendar duration ending with `anchor`."""
        days = {"D": self.count, "W": 7 * self.count}.get(self.unit)
        if days is not None:
            return anchor - dt.timedelta(days=min(days - 1, anchor.toordinal() - 1))
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
    """"" -> now; "yyyymmdd HH:MM:SS [zone]" or "yyyymmdd-HH:MM:SS" (UTC).

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
