"""Deterministic synthetic prices: a seeded random walk per instrument.

Three layers, each pinned to the one above so that every bar size agrees:
- a daily walk (mean-reverting in log price, walked forward from EPOCH) gives
  each trade date its open and close;
- a minute path per trade date runs through the whole extended session: from
  the previous close to the open at the regular-hours bell (the overnight gap
  happens off hours), a Brownian bridge from open to close over regular hours,
  then a free walk to the end of the session. Minute, hour and day bars are
  all aggregates of these minutes;
- bars under a minute bridge each minute from its open to its close.
Every random draw is seeded by instrument and date, so a bar is the same
whatever request asks for it. The walk steps over every weekday; the exchange
calendar then decides which of them are sessions that produce bars.
"""

import datetime as dt
import hashlib
import math
import random
from collections import OrderedDict
from dataclasses import dataclass
from functools import cache

import numpy as np

from .sessions import TradingHours
from .universe import MarketParams

EPOCH = dt.date(1990, 1, 1)
TRADING_DAYS_PER_YEAR = 252
REVERSION = 0.004  # daily pull towards the reference level keeps prices plausible
GAP_SHARE = 0.25  # overnight gap as a share of the daily volatility
WICK_SHARE = 0.5  # typical high/low excursion beyond open/close, per step volatility
OFF_HOURS_VOLATILITY = 0.4  # outside regular hours prices move less per minute...
OFF_HOURS_VOLUME = 0.1  # ...and trade less
MINUTE = 60
CACHED_SESSIONS = 64


@dataclass(frozen=True, slots=True)
class DayAnchor:
    open: float
    close: float
    volume: float


@dataclass
class Columns:
    """Unrounded OHLCV of many bars as arrays: the fast path for long answers."""

    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray

    def __len__(self) -> int:
        return len(self.open)

    @classmethod
    def concat(cls, parts: list["Columns"]) -> "Columns":
        if not parts:
            return cls(*([np.empty(0)] * 5))
        return cls(*(np.concatenate([getattr(p, name) for p in parts]) for name in _COLUMNS))

    def take(self, selection) -> "Columns":
        return Columns(*(getattr(self, name)[selection] for name in _COLUMNS))

    def scaled(self, factor) -> "Columns":
        """Prices times `factor` (a number or one per bar); volume unchanged."""
        o, h, lo, c = (getattr(self, name) * factor for name in _COLUMNS[:4])
        return Columns(o, h, lo, c, self.volume)

    def grouped(self, starts: np.ndarray) -> "Columns":
        """One bar per group of consecutive bars; `starts` indexes each group's first bar."""
        ends = np.append(starts[1:], len(self)) - 1
        return Columns(
            self.open[starts],
            np.maximum.reduceat(self.high, starts),
            np.minimum.reduceat(self.low, starts),
            self.close[ends],
            np.add.reduceat(self.volume, starts),
        )


_COLUMNS = ("open", "high", "low", "close", "volume")


class PriceSeries:
    def __init__(self, symbol: str, params: MarketParams, hours: TradingHours, seed: int):
        self._key = f"{seed}|{symbol}"
        self._params = params
        self.hours = hours
        self.sigma = params.volatility / math.sqrt(TRADING_DAYS_PER_YEAR)
        self._rng = random.Random(f"{self._key}|daily")
        self._log_level = math.log(params.price)
        self._log_close = self._log_level
        self._days: list[DayAnchor | None] = []  # index: days since EPOCH; None when closed
        self._minutes: OrderedDict[dt.date, Columns] = OrderedDict()
        self._day_bars: dict[tuple[dt.date, int, int], Columns] = {}

    def day(self, trade_date: dt.date) -> DayAnchor | None:
        index = (trade_date - EPOCH).days
        if index < 0:
            return None
        while len(self._days) <= index:
            self._days.append(self._walk_one_day(EPOCH + dt.timedelta(days=len(self._days))))
        return self._days[index]

    def _walk_one_day(self, day: dt.date) -> DayAnchor | None:
        if day.weekday() >= 5:
            return None
        gauss, sigma = self._rng.gauss, self.sigma
        previous = self._log_close
        log_open = previous + GAP_SHARE * sigma * gauss(0.0, 1.0)
        pull = REVERSION * (self._log_level - previous)
        self._log_close = previous + pull + sigma * gauss(0.0, 1.0)
        volume = self._params.daily_volume * math.exp(0.35 * gauss(0.0, 1.0) - 0.06)
        return DayAnchor(math.exp(log_open), math.exp(self._log_close), volume)

    def _previous_close(self, trade_date: dt.date, fallback: float) -> float:
        for back in range(1, 8):
            anchor = self.day(trade_date - dt.timedelta(days=back))
            if anchor is not None:
                return anchor.close
        return fallback

    def minutes(self, trade_date: dt.date) -> Columns | None:
        """One bar per minute of the extended session of `trade_date` (None if closed)."""
        if trade_date in self._minutes:
            self._minutes.move_to_end(trade_date)
            return self._minutes[trade_date]
        bars = self._walk_minutes(trade_date)
        if bars is not None:
            self._minutes[trade_date] = bars
            if len(self._minutes) > CACHED_SESSIONS:
                self._minutes.popitem(last=False)
        return bars

    def _walk_minutes(self, trade_date: dt.date) -> Columns | None:
        anchor = self.day(trade_date)
        if anchor is None:
            return None
        first, last = self.hours.extended
        count = (last - first) // MINUTE
        i_open, i_close = self.minute_range(use_rth=True)
        regular = np.zeros(count, dtype=bool)
        regular[i_open:i_close] = True
        step_sigma = self.sigma / math.sqrt(i_close - i_open) * np.where(regular, 1.0, OFF_HOURS_VOLATILITY)

        rng = np.random.default_rng(_stable_seed(f"{self._key}|{trade_date.toordinal()}|minutes"))
        walk_noise, high_noise, low_noise, volume_noise = rng.standard_normal((4, count))
        walk = np.concatenate(([0.0], np.cumsum(walk_noise * step_sigma)))
        log_open, log_close = math.log(anchor.open), math.log(anchor.close)
        log_before = math.log(self._previous_close(trade_date, anchor.open))
        path = np.empty(count + 1)
        path[: i_open + 1] = _bridge(walk[: i_open + 1], log_before, log_open)
        path[i_open : i_close + 1] = _bridge(walk[i_open : i_close + 1], log_open, log_close)
        path[i_close:] = log_close + walk[i_close:] - walk[i_close]

        prices = np.exp(path)
        o, c = prices[:-1], prices[1:]
        wick = WICK_SHARE * step_sigma
        # U-shaped volume over regular hours: busy at the open and the close
        middle = 2.0 * (np.arange(count) - i_open + 0.5) / (i_close - i_open) - 1.0
        shape = np.where(regular, (1.0 + 2.0 * middle * middle) / (1.0 + 2.0 / 3.0), OFF_HOURS_VOLUME)
        per_minute = anchor.volume / (i_close - i_open)
        return Columns(
            o,
            np.maximum(o, c) * np.exp(wick * np.abs(high_noise)),
            np.minimum(o, c) * np.exp(-wick * np.abs(low_noise)),
            c,
            per_minute * shape * np.exp(0.3 * volume_noise - 0.045),
        )

    def seconds(self, trade_date: dt.date, step: int) -> Columns | None:
        """Bars of `step` seconds (dividing a minute) over the extended session."""
        minutes = self.minutes(trade_date)
        if minutes is None:
            return None
        per_minute = MINUTE // step
        count = len(minutes)
        rng = np.random.default_rng(_stable_seed(f"{self._key}|{trade_date.toordinal()}|{step}s"))
        walk_noise, high_noise, low_noise, volume_noise = rng.standard_normal((4, count, per_minute))
        log_open, log_close = np.log(minutes.open), np.log(minutes.close)
        regular_minutes = (self.hours.regular[1] - self.hours.regular[0]) // MINUTE
        step_sigma = self.sigma / math.sqrt(regular_minutes * per_minute)
        walk = np.concatenate((np.zeros((count, 1)), np.cumsum(walk_noise * step_sigma, axis=1)), axis=1)
        fractions = np.linspace(0.0, 1.0, per_minute + 1)
        drift = (log_close - log_open - walk[:, -1])[:, None]
        prices = np.exp(log_open[:, None] + walk + fractions * drift)
        o, c = prices[:, :-1], prices[:, 1:]
        wick = WICK_SHARE * step_sigma
        weights = np.exp(0.5 * volume_noise)
        volume = minutes.volume[:, None] * weights / weights.sum(axis=1, keepdims=True)
        return Columns(
            o.ravel(),
            (np.maximum(o, c) * np.exp(wick * np.abs(high_noise))).ravel(),
            (np.minimum(o, c) * np.exp(-wick * np.abs(low_noise))).ravel(),
            c.ravel(),
            volume.ravel(),
        )

    def day_bar(self, trade_date: dt.date, start: int, end: int) -> Columns | None:
        """A whole session of `trade_date` as one bar: its minutes from `start` to `end`
        (seconds from local midnight), remembered for the next request."""
        key = (trade_date, start, end)
        if key not in self._day_bars:
            bar = self.aggregate(trade_date, start, end)
            if bar is None:
                return None
            self._day_bars[key] = bar
        return self._day_bars[key]

    def aggregate(self, trade_date: dt.date, start: int, end: float) -> Columns | None:
        """One bar of the minutes from `start` to `end`; a minute begun before `end` counts."""
        minutes = self.minutes(trade_date)
        if minutes is None:
            return None
        first = self.hours.extended[0]
        begin, stop = (start - first) // MINUTE, math.ceil((end - first) / MINUTE)
        if stop <= begin:
            return None
        return minutes.take(slice(begin, stop)).grouped(np.array([0]))

    def minute_range(self, use_rth: bool) -> tuple[int, int]:
        """Which of a session's minutes the regular (or all) hours cover."""
        first = self.hours.extended[0]
        start, end = self.hours.span(use_rth)
        return (start - first) // MINUTE, (end - first) // MINUTE


def _bridge(walk: np.ndarray, start: float, end: float) -> np.ndarray:
    """`walk` bent to run from `start` to `end` (a Brownian bridge)."""
    fractions = np.linspace(0.0, 1.0, len(walk))
    relative = walk - walk[0]
    return start + relative + fractions * (end - start - relative[-1])


def _stable_seed(text: str) -> int:
    """A seed that, unlike hash(), is the same in every process."""
    return int.from_bytes(hashlib.blake2b(text.encode(), digest_size=8).digest(), "big")


@cache
def price_series(symbol: str, params: MarketParams, hours: TradingHours, seed: int) -> PriceSeries:
    """Shared across simulators: walking decades of days once is enough."""
    return PriceSeries(symbol, params, hours, seed)


# Adjustment events (dividends, roll gaps) fall on these month/day pairs every year.
ADJUSTMENT_DATES = ((2, 10), (5, 10), (8, 10), (11, 10))


def _events_through(day: dt.date) -> int:
    in_year = sum(1 for m, d in ADJUSTMENT_DATES if (day.month, day.day) >= (m, d))
    return day.year * len(ADJUSTMENT_DATES) + in_year


def adjustment_factor(rate: float, trade_date: dt.date, today: dt.date) -> float:
    """What ADJUSTED_LAST multiplies a day's prices by: one step per later event.

    Recent prices are unchanged; older ones shrink, as with back-adjusted data.
    """
    return (1.0 - rate) ** max(_events_through(today) - _events_through(trade_date), 0)
