"""Fitting bars to a chart's width, and a time axis that suits their span.

Bars are merged into candles of a trader's units, never across a session: intraday bars into
candles of 2, 5, 10... minutes within each session, then whole sessions (one candle a day), then
calendar weeks, months, quarters and years. A session ends at a pause in trading longer than
SESSION_GAP (a night, a weekend, a halt), so a candle never straddles a night.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import cast

import numpy as np
import pandas as pd

# A pause longer than this (and longer than two bars) ends a session.
SESSION_GAP = 3600
# Candle lengths within a session, in seconds; a length that is no whole number of bars is skipped.
INTRADAY_STEPS = (60, 120, 300, 600, 900, 1800, 3600, 7200)
# Calendar candles, as (what one covers, pandas period).
CALENDAR_STEPS = (("1 week", "W"), ("1 month", "M"), ("1 quarter", "Q"), ("1 year", "Y"))
# Spans the time axis writes as times, as dates, as months; longer ones as years.
DATES_UP_TO_DAYS = 92
MONTHS_UP_TO_DAYS = 6 * 366
# Tick units whose labels would crowd are thinned; a unit that keeps fewer than this share of its
# ticks gives way to a coarser one.
KEPT_TICKS = 0.75


@dataclass(frozen=True)
class Candles:
    frame: pd.DataFrame  # Open, High, Low, Close, Volume; each candle stamped with its first bar's time
    unit: str  # what one candle covers: "" when each is one bar, else "30 min", "1 session", "1 week"...
    session_starts: list[int]  # candles that open a new session, where candles are parts of sessions


def times(frame: pd.DataFrame) -> pd.DatetimeIndex:
    return cast(pd.DatetimeIndex, frame.index)  # bar frames are indexed by bar time


def fit(frame: pd.DataFrame, limit: int) -> Candles:
    """At most `limit` candles of `frame`'s bars (an OHLCV frame, oldest first), merged in the
    smallest unit that fits; a unit that does not fit even as years is merged further evenly."""
    limit = max(1, limit)
    index = times(frame)
    intraday = has_times(index)
    sessions = session_ids(index) if intraday else np.zeros(0, np.int64)  # read only intraday
    if len(frame) <= limit:
        return Candles(frame, "", _session_starts(sessions, np.arange(len(frame))) if intraday else [])
    if intraday:
        seconds = _seconds(index)
        spacing = _bar_spacing(seconds)
        for step in INTRADAY_STEPS:
            if step <= spacing or step % spacing:
                continue
            starts = _starts(sessions, seconds // step)
            if len(starts) <= limit:
                return Candles(merge(frame, starts), _duration(step), _session_starts(sessions, starts))
        starts = _starts(sessions)
        if len(starts) <= limit:
            return Candles(merge(frame, starts), "1 session", [])
        days = index[starts].normalize()  # a session's bars count to the day it opened
        days_of_bars = days[np.repeat(np.arange(len(starts)), np.diff(np.append(starts, len(frame))))]
    else:
        days_of_bars = index
    for unit, period in CALENDAR_STEPS:
        starts = _starts(days_of_bars.to_period(period).asi8)
        if len(starts) <= limit:
            return Candles(merge(frame, starts), unit, [])
    years = merge(frame, starts)
    per = math.ceil(len(years) / limit)
    return Candles(merge(years, np.arange(0, len(years), per)), f"{per} years", [])


def merge(frame: pd.DataFrame, starts: np.ndarray) -> pd.DataFrame:
    """One candle per group of consecutive bars beginning at `starts`: the open of the first bar,
    the high of the highs, the low of the lows, the close of the last, the volume summed."""
    starts = np.asarray(starts, dtype=np.int64)
    ends = np.append(starts[1:], len(frame)) - 1
    return pd.DataFrame(
        {
            "Open": frame["Open"].to_numpy()[starts],
            "High": np.maximum.reduceat(frame["High"].to_numpy(), starts),
            "Low": np.minimum.reduceat(frame["Low"].to_numpy(), starts),
            "Close": frame["Close"].to_numpy()[ends],
            "Volume": np.add.reduceat(frame["Volume"].to_numpy(), starts),
        },
        index=frame.index[starts],
    )


def has_times(index: pd.DatetimeIndex) -> bool:
    """Bars with times of day (intraday), rather than dates."""
    return bool(len(index)) and not (index == index.normalize()).all()


def session_ids(index: pd.DatetimeIndex) -> np.ndarray:
    """A number per bar, counting up from 0 at each session: a new one after each pause in trading,
    and at midnight within a stretch that trades around the clock without one."""
    seconds = _seconds(index)
    paused = np.diff(seconds) > max(SESSION_GAP, 2 * _bar_spacing(seconds))
    stretch = np.concatenate([[0], np.cumsum(paused)])
    starts = np.flatnonzero(np.append(True, paused))
    ends = np.append(starts[1:] - 1, len(seconds) - 1)
    all_day = (seconds[ends] - seconds[starts] >= 86400)[stretch]  # per bar: its stretch lasts a day or more
    midnight = np.diff(seconds // 86400) != 0
    return np.concatenate([[0], np.cumsum(paused | (midnight & all_day[1:]))])


def _seconds(index: pd.DatetimeIndex) -> np.ndarray:
    return index.as_unit("s").asi8


def _bar_spacing(seconds: np.ndarray) -> int:
    """The usual distance between two bars, in seconds."""
    gaps = np.diff(seconds)
    gaps = gaps[gaps > 0]
    return max(1, int(np.median(gaps))) if len(gaps) else 60


def _starts(*keys: np.ndarray) -> np.ndarray:
    """Positions where any of the keys changes: the first bar of each group (0 always)."""
    change = np.zeros(len(keys[0]), dtype=bool)
    change[0] = True
    for key in keys:
        change[1:] |= key[1:] != key[:-1]
    return np.flatnonzero(change)


def _session_starts(sessions: np.ndarray, starts: np.ndarray) -> list[int]:
    of_candles = sessions[starts]
    return [int(i) for i in np.flatnonzero(of_candles[1:] != of_candles[:-1]) + 1]


def _duration(seconds: int) -> str:
    return f"{seconds // 3600} h" if seconds % 3600 == 0 else f"{seconds // 60} min"


# ---------------------------------------------------------------- the time axis


@dataclass(frozen=True)
class _TickUnit:
    key: Callable[[pd.DatetimeIndex], np.ndarray]  # the number of the period each time falls in
    multiples: tuple[int, ...]  # every n-th period, counted from the calendar's own origin


def _clock(step: int) -> _TickUnit:
    return _TickUnit(lambda index: _seconds(index) // step, (1,))


_DAYS = _TickUnit(lambda index: _seconds(index) // 86400, (1,))
_WEEKS = _TickUnit(lambda index: (_seconds(index) // 86400 + 3) // 7, (1, 2))  # weeks from Monday
_MONTHS = _TickUnit(lambda index: (index.year * 12 + index.month - 1).to_numpy(), (1, 2, 3, 6))
_YEARS = _TickUnit(lambda index: index.year.to_numpy(), (1, 2, 5, 10, 20, 50))
_TIMES = tuple(_clock(minutes * 60) for minutes in (5, 10, 15, 30, 60, 120, 240))


def time_labels(index: pd.DatetimeIndex) -> tuple[str, tuple[_TickUnit, ...]]:
    """How to write times on an axis spanning `index`, and the units its ticks may fall on:
    times within a day, dates across days, months across a longer span, years across many."""
    first, last = index[0], index[-1]
    days = (last.normalize() - first.normalize()).days
    if days == 0 and has_times(index):
        return "%H:%M", _TIMES
    if days <= DATES_UP_TO_DAYS:
        return "%b %d", (_DAYS, _WEEKS, _MONTHS)
    if days <= MONTHS_UP_TO_DAYS:
        return "%b %Y", (_MONTHS, _YEARS)
    return "%Y", (_YEARS,)


def time_ticks(index: pd.DatetimeIndex, room: Callable[[int], float]) -> tuple[list[int], list[str]]:
    """Candle positions where a new period begins, labelled, as many as fit apart.

    `room(label_width)` is how many candles a label of that many characters needs. Ticks fall on
    the first candle of a day, a week, a month... or of a round clock time within a day.
    """
    if len(index) == 0:
        return [], []
    pattern, units = time_labels(index)
    needed = room(len(index[0].strftime(pattern)))
    positions: list[int] = []
    for unit in units:
        keys = unit.key(index)
        for multiple in unit.multiples:
            bucket = keys // multiple
            candidates = [int(i) for i in np.flatnonzero(bucket[1:] != bucket[:-1]) + 1]
            if not candidates:
                continue
            inside = _inside(candidates, len(index), needed)
            kept = _apart(inside, needed)
            if kept and len(kept) >= KEPT_TICKS * len(inside):  # a short week may lose its label, not all weeks
                positions = kept
                break
        if positions:
            break
    if not positions:  # one period only: the first and the last candle
        positions = sorted({0, len(index) - 1}) if len(index) > needed else [0]
    return positions, [index[i].strftime(pattern) for i in positions]


def _apart(positions: list[int], needed: float) -> list[int]:
    """The positions left when each is kept only `needed` candles after the last one kept."""
    kept: list[int] = []
    for position in positions:
        if not kept or position - kept[-1] >= needed:
            kept.append(position)
    return kept


def _inside(positions: list[int], count: int, needed: float) -> list[int]:
    """The positions whose label, centred on its candle, stays within the axis."""
    half = needed / 2 - 0.5
    return [p for p in positions if p >= half and count - 1 - p >= half]


def span_text(index: pd.DatetimeIndex) -> str:
    """ "2025-01-02 .. 2025-06-02"; within one day "2025-06-02 09:30..16:00"."""
    first, last = index[0], index[-1]
    if has_times(index) and first.normalize() == last.normalize():
        return f"{first:%Y-%m-%d %H:%M}..{last:%H:%M}"
    return f"{first:%Y-%m-%d} .. {last:%Y-%m-%d}"
