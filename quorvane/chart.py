"""Candlestick charts of a result record's bars: in the terminal (plotext) and as a file (mplfinance).

However many bars a record holds, a chart draws at most as many candles as fit its
width: consecutive bars are merged (open of the first, high of the highs, low of
the lows, close of the last, volume summed), so the cost follows the screen, not
the data. The plotting libraries load with the first chart drawn.
"""

from __future__ import annotations

import logging
import math
import shutil
from pathlib import PurePath
from typing import cast

import numpy as np
import pandas as pd

from quorvane.records import record_title

OHLCV = ["Open", "High", "Low", "Close", "Volume"]
# Terminal chart: the candles take this share of the height, volume the rest.
CANDLE_SHARE = 0.7
MIN_HEIGHT, MAX_HEIGHT = 16, 40
# Columns per candle (one for the candle, one for the gap), and the width of the axis labels.
CANDLE_COLUMNS = 2
Y_LABEL_WIDTH = 8
# Columns between two date labels on the terminal chart's x axis.
LABEL_GAP = 3
# Chart files: size, resolution and the most candles drawn (a few pixels each).
FILE_SIZE = (11, 6.5)  # inches
FILE_DPI = 100
FILE_CANDLES = 250
FILE_FORMATS = ("png", "svg", "pdf")


def ohlcv_frame(record: dict) -> pd.DataFrame:
    """The bars as mplfinance wants them: a DatetimeIndex and Open..Volume; rows without prices dropped."""
    bars = pd.DataFrame(record.get("bars") or [])
    missing = [c for c in ("date", "open", "high", "low", "close") if c not in bars.columns]
    if missing:
        raise ValueError(f"bars lack {', '.join(missing)}")
    frame = pd.DataFrame({name: pd.to_numeric(bars.get(name.lower(), 0), errors="coerce") for name in OHLCV})
    frame.index = pd.DatetimeIndex(pd.to_datetime(bars["date"]), name="Date")
    frame["Volume"] = frame["Volume"].fillna(0)
    frame = frame.dropna(subset=OHLCV[:4]).astype("float64")
    if frame.empty:
        raise ValueError("no bar has prices")
    return frame


def merge_bars(frame: pd.DataFrame, candles: int) -> tuple[pd.DataFrame, int]:
    """At most `candles` rows, each merging the same number of consecutive bars; (rows, bars per row).

    A merged row is stamped with its first bar's time.
    """
    per = max(1, math.ceil(len(frame) / max(1, candles)))
    if per == 1:
        return frame, 1
    starts = np.arange(0, len(frame), per)
    merged = pd.DataFrame(
        {
            "Open": frame["Open"].to_numpy()[starts],
            "High": np.maximum.reduceat(frame["High"].to_numpy(), starts),
            "Low": np.minimum.reduceat(frame["Low"].to_numpy(), starts),
            "Close": frame["Close"].to_numpy()[np.append(starts[1:] - 1, len(frame) - 1)],
            "Volume": np.add.reduceat(frame["Volume"].to_numpy(), starts),
        },
        index=frame.index[starts],
    )
    return merged, per


def time_format(index: pd.DatetimeIndex) -> str:
    """How to write the bar times of a chart: the year only when the span crosses one, the time only intraday."""
    crosses_year = index[0].year != index[-1].year
    if (index == index.normalize()).all():
        return "%Y-%m-%d" if crosses_year else "%b %d"
    if crosses_year:
        return "%Y-%m-%d %H:%M"
    return "%H:%M" if index[0].normalize() == index[-1].normalize() else "%b %d %H:%M"


def _times(frame: pd.DataFrame) -> pd.DatetimeIndex:
    return cast(pd.DatetimeIndex, frame.index)  # bar frames are indexed by bar time


def date_span(frame: pd.DataFrame) -> str:
    """First and last bar time, e.g. "2025-01-02 .. 2025-06-02" (with the time for intraday bars)."""
    times = _times(frame)
    intraday = not (times == times.normalize()).all()
    pattern = "%Y-%m-%d %H:%M" if intraday else "%Y-%m-%d"
    return f"{frame.index[0].strftime(pattern)} .. {frame.index[-1].strftime(pattern)}"


def title_parts(record: dict, frame: pd.DataFrame, per: int) -> list[str]:
    """The record's title, the date span, and how many bars a candle merges (when more than one)."""
    return [record_title(record), date_span(frame)] + ([f"1 candle = {per} bars"] if per > 1 else [])


def fitted_title(parts: list[str], width: int) -> str:
    """The parts on one line, the date span (also on the time axis) dropped first when they do not fit."""
    title = "  ".join(parts)
    if len(title) > width and len(parts) > 1:
        title = "  ".join(parts[:1] + parts[2:])
    return title[:width]


def terminal_chart(record: dict, width: int | None = None, height: int | None = None, color: bool = False) -> str:
    """The chart as text: title and date span on top, candles, and volume beneath on the same time axis."""
    import plotext as plt

    columns, rows = shutil.get_terminal_size()
    width = width or columns
    height = height or max(MIN_HEIGHT, min(MAX_HEIGHT, rows - 4))
    frame = ohlcv_frame(record)
    merged, per = merge_bars(frame, (width - Y_LABEL_WIDTH - 2) // CANDLE_COLUMNS)
    # Candles sit at positions 0..n-1, so nights and weekends leave no gaps; times label the ticks.
    xs = list(range(len(merged)))
    ticks, labels = _time_ticks(_times(merged), width - Y_LABEL_WIDTH - 2)

    plt.terminal.limit(False, False)  # our size, not plotext's guess of the terminal
    fig = plt.figure
    fig.clear()
    fig.subplots(2, 1)
    candles, volume = fig.subplot(1, 1), fig.subplot(2, 1)
    fig.theme("simple" if color else "colorless")  # before the titles, which take the theme's colours
    ohlc = {"date": xs, **{k.lower(): merged[k].tolist() for k in OHLCV[:4]}}
    candles.draw(candles.candlestick(ohlc))
    candles.title(fitted_title(title_parts(record, frame, per), width - 2))
    volume.draw(volume.candlestick(_volume_columns(xs, merged)))
    volume.title("volume")
    for part, values, unit in ((candles, merged[["Low", "High"]], _price), (volume, merged["Volume"], _count)):
        part.ruler("x").lim(-0.5, len(xs) - 0.5).ticks(ticks, labels)
        low, high = float(np.min(values.to_numpy())), float(np.max(values.to_numpy()))
        part.ruler("y").ticks(*_value_ticks(0.0 if unit is _count else low, high, unit))
    fig.plot_size(width, height)
    candles.plot_size(None, round(height * CANDLE_SHARE))
    text = fig.build().string()
    return text if color else plt.uncolorize(text)


def _volume_columns(xs: list[int], merged: pd.DataFrame) -> dict:
    """Volume drawn as candles from 0, so each column sits exactly under its candle, in its colour."""
    volume, up = merged["Volume"].to_numpy(), (merged["Close"] >= merged["Open"]).to_numpy()
    zero = np.zeros(len(volume))
    return {"date": xs, "open": np.where(up, zero, volume).tolist(), "close": np.where(up, volume, zero).tolist(),
            "high": volume.tolist(), "low": zero.tolist()}  # fmt: skip


def _time_ticks(index: pd.DatetimeIndex, columns: int) -> tuple[list[int], list[str]]:
    """Evenly spaced positions with time labels, as many as fit `columns` without touching."""
    pattern = time_format(index)
    label_width = len(index[0].strftime(pattern))
    # A label's width of space between two labels, so those the axis ends push inward never touch.
    count = max(2, min(len(index), 1 + columns // (2 * label_width + LABEL_GAP)))
    positions = sorted({round(i * (len(index) - 1) / (count - 1)) for i in range(count)}) if len(index) > 1 else [0]
    return positions, [index[i].strftime(pattern) for i in positions]


def _value_ticks(low: float, high: float, unit) -> tuple[list[float], list[str]]:
    """Four ticks from low to high, labelled right-aligned to one width so both panels line up."""
    if high <= low:
        high = low + 1.0
    values = list(np.linspace(low, high, 4))
    return values, [unit(v).rjust(Y_LABEL_WIDTH) for v in values]


def _price(value: float) -> str:
    return f"{value:,.2f}" if abs(value) < 100_000 else f"{value:,.0f}"


def _count(value: float) -> str:
    for size, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= size:
            return f"{value / size:.1f}{suffix}"
    return f"{value:.0f}"


def file_format(path: str) -> str:
    """The chart format a file name asks for ("png", "svg", "pdf"); ValueError for any other."""
    kind = PurePath(path).suffix.lower().lstrip(".")
    if kind not in FILE_FORMATS:
        raise ValueError(f"cannot tell the chart format of {path!r}: name a .png, .svg or .pdf file")
    return kind


def save_chart(record: dict, path: str) -> None:
    """Write a candlestick chart with volume beneath to `path`, in the format its extension names."""
    kind = file_format(path)
    import matplotlib

    matplotlib.use("Agg")  # files only: never open a window
    # The chart style asks for a font weight DejaVu lacks; the substitute is fine, the warning noise.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    import matplotlib.pyplot as pyplot
    import mplfinance as mpf

    frame = ohlcv_frame(record)
    merged, per = merge_bars(frame, FILE_CANDLES)
    title, *details = title_parts(record, frame, per)
    figure, _ = mpf.plot(
        merged,
        type="candle",
        volume=bool(merged["Volume"].any()),
        style="yahoo",
        title=f"\n{title}\n{'  '.join(details)}",
        datetime_format=time_format(_times(merged)),
        figsize=FILE_SIZE,
        warn_too_much_data=len(merged) + 1,
        returnfig=True,
    )
    try:
        figure.savefig(path, format=kind, dpi=FILE_DPI, bbox_inches="tight")
    finally:
        pyplot.close(figure)
