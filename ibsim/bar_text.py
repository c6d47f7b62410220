"""Bars as msg-17 text: prices in whole ticks, volume and wap as decimal text.

Long answers run to hundreds of thousands of bars, so the numbers are rounded
with numpy, each distinct price is formatted once, and the fields of all bars
are joined in one go.
"""

import datetime as dt
from dataclasses import dataclass
from decimal import Decimal
from functools import cache
from zoneinfo import ZoneInfo

import numpy as np

from .market import Columns
from .sessions import DAY

# For quote types the gateway reports no volume, wap or trade count.
QUOTE_OFFSETS = {"MIDPOINT": 0, "BID_ASK": 0, "BID": -1, "ASK": 1}
FIELDS_PER_BAR = 8


@dataclass(frozen=True)
class BarText:
    count: int
    body: str  # every field of every bar, each followed by NUL


@dataclass(frozen=True)
class RowFormat:
    tick: float
    trade_size: float
    what_to_show: str

    def text(self, labels: list[str], bars: Columns) -> BarText:
        count = len(labels)
        if count == 0:
            return BarText(0, "")
        table = np.empty((count, FIELDS_PER_BAR), dtype=object)
        table[:, 0] = labels
        o, h, lo, c = self._ticks(bars)
        table[:, 1:5] = self._formatted(np.stack([o, h, lo, c]), self.tick, self._digits()).T
        if self.what_to_show in QUOTE_OFFSETS:
            table[:, 5:] = "-1"
        else:
            volume = np.maximum(1, np.rint(bars.volume)).astype(np.int64)
            table[:, 5] = _decimal_text(volume)
            table[:, 6] = self._formatted(h + lo + c, self.tick / 3.0, 3)
            table[:, 7] = _decimal_text(np.maximum(1, np.rint(volume / self.trade_size)).astype(np.int64))
        return BarText(count, "\0".join(table.ravel().tolist()) + "\0")

    def _ticks(self, bars: Columns):
        """Whole ticks, never below one tick, with high >= open, close >= low."""
        offset, tick = QUOTE_OFFSETS.get(self.what_to_show, 0), self.tick
        o = np.maximum(1, np.rint(bars.open / tick).astype(np.int64) + offset)
        c = np.maximum(1, np.rint(bars.close / tick).astype(np.int64) + offset)
        h = np.maximum(np.ceil(bars.high / tick).astype(np.int64) + offset, np.maximum(o, c))
        lo = np.floor(bars.low / tick).astype(np.int64) + offset
        lo = np.maximum(1, np.minimum(lo, np.minimum(o, c)))
        return o, h, lo, c

    def _digits(self) -> int:
        exponent = Decimal(str(self.tick)).as_tuple().exponent  # an int: a tick is a finite number
        return max(2, -int(exponent))

    @staticmethod
    def _formatted(units: np.ndarray, unit: float, digits: int) -> np.ndarray:
        """`units` * `unit` as text with `digits` decimals, formatting each value once."""
        distinct, where = np.unique(units, return_inverse=True)
        texts = np.array([f"{u * unit:.{digits}f}" for u in distinct.tolist()], dtype=object)
        return texts[where].reshape(units.shape)


def _decimal_text(values: np.ndarray) -> list[str]:
    return list(map(str, values.tolist()))


def day_label(day: dt.date) -> str:
    """Daily and longer bars are always yyyyMMdd, whatever formatDate asks."""
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"


@cache
def clock_texts() -> list[str]:
    """ "HH:MM:SS" for every second of a day, built once."""
    return [f"{s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}" for s in range(DAY)]


def time_labels(day: dt.date, seconds: list[int], zone: str) -> list[str]:
    """Intraday bar times as current gateways send them: "20250102 09:30:00 US/Eastern".

    `seconds` count from the trade date's local midnight and may be negative
    for bars of the evening before.
    """
    clock = clock_texts()
    dates = {offset: day_label(day + dt.timedelta(days=offset)) for offset in (-1, 0, 1)}
    return [f"{dates[s // DAY]} {clock[s % DAY]} {zone}" for s in seconds]


def time_label(moment: dt.datetime, zone: str) -> str:
    return f"{day_label(moment.date())} {moment:%H:%M:%S} {zone}"


def utc_label(moment: dt.datetime) -> str:
    """An aware moment as the UTC form "20250102-14:30:00"."""
    return f"{moment.astimezone(dt.UTC):%Y%m%d-%H:%M:%S}"


BAR_TIMES = ("instrument", "operator", "utc")


@dataclass(frozen=True)
class BarTimes:
    """How the gateway writes intraday bar times, as its operator set it: in the
    instrument's zone, in the operator's zone, or in UTC."""

    setting: str = "instrument"
    operator_zone: str = "US/Eastern"

    def __post_init__(self):
        if self.setting not in BAR_TIMES:
            raise ValueError(f"bar times must be one of {', '.join(BAR_TIMES)}, not {self.setting!r}")
        ZoneInfo(self.operator_zone)  # an unknown zone fails here, not mid-request

    @property
    def in_instrument_zone(self) -> bool:
        return self.setting == "instrument"

    def label(self, moment: dt.datetime, instrument_zone: str) -> str:
        """An aware moment as this gateway writes it."""
        if self.setting == "utc":
            return utc_label(moment)
        zone = instrument_zone if self.in_instrument_zone else self.operator_zone
        return time_label(moment.astimezone(ZoneInfo(zone)), zone)

    def epoch_labels(self, epochs: list[int], instrument_zone: str) -> list[str]:
        return [self.label(dt.datetime.fromtimestamp(e, dt.UTC), instrument_zone) for e in epochs]
