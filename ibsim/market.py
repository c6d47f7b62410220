"""Deterministic synthetic prices: a seeded random walk per instrument.

Daily bars come from one mean-reverting random walk in log price, walked
forward from EPOCH, so any day's bar is the same whatever the request.
Intraday bars of one session are a Brownian bridge from that day's open to
its close, seeded by (instrument, day, bar size, hours), so repeated requests
agree bar for bar and the day's last intraday close is the daily close.
"""

import datetime as dt
import hashlib
import math
import random
from dataclasses import dataclass
from functools import cache

import numpy as np

from .sessions import is_trade_date
from .universe import MarketParams

EPOCH = dt.date(1990, 1, 1)
TRADING_DAYS_PER_YEAR = 252
REVERSION = 0.004  # daily pull towards the reference level keeps prices plausible
GAP_SHARE = 0.25  # overnight gap as a share of the daily volatility
WICK_SHARE = 0.5  # typical high/low excursion beyond open/close, same unit


@dataclass(slots=True)
class RawBar:
    """Unrounded OHLCV of one bar."""

    open: float
    high: float
    low: float
    close: float
    volume: float


class PriceSeries:
    def __init__(self, symbol: str, params: MarketParams, seed: int):
        self._key = f"{seed}|{symbol}"
        self._params = params
        self.sigma = params.volatility / math.sqrt(TRADING_DAYS_PER_YEAR)
        self._rng = random.Random(f"{self._key}|daily")
        self._log_level = math.log(params.price)
        self._log_close = self._log_level
        self._days: list[RawBar | None] = []  # index: days since EPOCH; None when closed

    def day(self, trade_date: dt.date) -> RawBar | None:
        index = (trade_date - EPOCH).days
        if index < 0:
            return None
        while len(self._days) <= index:
            self._days.append(self._walk_one_day(EPOCH + dt.timedelta(days=len(self._days))))
        return self._days[index]

    def _walk_one_day(self, day: dt.date) -> RawBar | None:
        if not is_trade_date(day):
            return None
        gauss, sigma = self._rng.gauss, self.sigma
        previous = self._log_close
        log_open = previous + GAP_SHARE * sigma * gauss(0.0, 1.0)
        self._log_close = (
            previous + REVERSION * (self._log_level - previous) + sigma * gauss(0.0, 1.0)
        )
        o, c = math.exp(log_open), math.exp(self._log_close)
        high = max(o, c) * math.exp(WICK_SHARE * sigma * abs(gauss(0.0, 1.0)))
        low = min(o, c) * math.exp(-WICK_SHARE * sigma * abs(gauss(0.0, 1.0)))
        volume = self._params.daily_volume * math.exp(0.35 * gauss(0.0, 1.0) - 0.06)
        return RawBar(o, high, low, c, volume)

    def session_columns(self, trade_date: dt.date, edges: np.ndarray, tag: str) -> "Columns | None":
        """Bars between consecutive `edges` (seconds) of one session, open to close.

        `tag` names the grid (bar size and hours): each grid has its own
        repeatable path, bridged from the day's open to its close.
        """
        day = self.day(trade_date)
        if day is None or len(edges) < 2:
            return None
        rng = np.random.default_rng(_stable_seed(f"{self._key}|{trade_date.toordinal()}|{tag}"))
        walk_noise, high_noise, low_noise, volume_noise = rng.standard_normal((4, len(edges) - 1))
        fractions = (edges - edges[0]) / (edges[-1] - edges[0])
        shares = np.diff(fractions)
        walk = np.concatenate(([0.0], np.cumsum(walk_noise * np.sqrt(shares))))
        log_open, sigma = math.log(day.open), self.sigma
        drift = math.log(day.close) - log_open
        prices = np.exp(log_open + fractions * drift + sigma * (walk - fractions * walk[-1]))
        o, c = prices[:-1], prices[1:]
        wick = WICK_SHARE * sigma * np.sqrt(shares)
        middle = fractions[:-1] + fractions[1:] - 1.0
        # U-shaped volume: busy at the open and the close; mean 1 over the session
        shape = (1.0 + 2.0 * middle * middle) / (1.0 + 2.0 / 3.0)
        return Columns(
            o,
            np.maximum(o, c) * np.exp(wick * np.abs(high_noise)),
            np.minimum(o, c) * np.exp(-wick * np.abs(low_noise)),
            c,
            day.volume * shares * shape * np.exp(0.3 * volume_noise - 0.045),
        )


@cache
def price_series(symbol: str, params: MarketParams, seed: int) -> PriceSeries:
    """Shared across simulators: walking decades of days once is enough."""
    return PriceSeries(symbol, params, seed)


def _stable_seed(text: str) -> int:
    """A seed that, unlike hash(), is the same in every process."""
    return int.from_bytes(hashlib.blake2b(text.encode(), digest_size=8).digest(), "big")


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
    def of(cls, bars: list[RawBar]) -> "Columns":
        fields = zip(*((b.open, b.high, b.low, b.close, b.volume) for b in bars))
        arrays = [np.array(f, dtype=float) for f in fields] or [np.empty(0)] * 5
        return cls(*arrays)

    @classmethod
    def concat(cls, parts: list["Columns"]) -> "Columns":
        if not parts:
            return cls.of([])
        return cls(*(np.concatenate([getattr(p, name) for p in parts]) for name in _COLUMNS))

    def take(self, selection) -> "Columns":
        return Columns(*(getattr(self, name)[selection] for name in _COLUMNS))

    def scaled(self, factor) -> "Columns":
        """Prices times `factor` (a number or one per bar); volume unchanged."""
        o, h, lo, c = (getattr(self, name) * factor for name in _COLUMNS[:4])
        return Columns(o, h, lo, c, self.volume)

    def merged(self) -> "Columns":
        """The bars as one bar (oldest first)."""
        return Columns(
            self.open[:1], self.high.max(keepdims=True), self.low.min(keepdims=True),
            self.close[-1:], self.volume.sum(keepdims=True),
        )


_COLUMNS = ("open", "high", "low", "close", "volume")


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
