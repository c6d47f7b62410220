"""Candlestick charts of result records' bars: in the terminal (plotext) and as a file (mplfinance).

However many bars a record holds, a chart draws at most as many candles as fit its width,
merged within sessions (quorvane.candles), so the cost follows the screen, not the data.
Several records chart one after another in the terminal, and as small multiples in one file.
The plotting libraries load with the first chart drawn."""

from __future__ import annotations

import logging
import math
import shutil
from pathlib import PurePath

import numpy as np
import pandas as pd

from quorvane import candles
from quorvane.records import TIMEZONE, origin, record_title

OHLCV = ["Open", "High", "Low", "Close", "Volume"]
# Terminal chart: the candles take this share of the height, volume the rest.
CANDLE_SHARE = 0.7
MIN_HEIGHT, MAX_HEIGHT = 16, 40
# Columns per candle (one for the candle, one for the gap), and the width of the axis labels.
CANDLE_COLUMNS = 2
Y_LABEL_WIDTH = 8
# Columns between two date labels on the terminal chart's x axis.
LABEL_GAP = 3
# Chart files: size, resolution and the pixels a candle takes (about 250 candles in one chart).
FILE_SIZE = (11, 6.5)  # inches
FILE_DPI = 100
CANDLE_PIXELS = 4
# Several charts in one file: the size of each, in inches.
PANEL_SIZE = (5.5, 3.6)
# A tick label's width: pixels per character, and the space kept clear beside it.
LABEL_PIXELS, LABEL_MARGIN = 7, 12
SESSION_MARK = "┊"  # how a session break is drawn
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


def title_parts(record: dict, frame: pd.DataFrame) -> list[str]:
    """What a chart is of: the record's title (symbol, period, bars), the span, the source, the zone."""
    parts = [record_title(record), candles.span_text(candles.times(frame)), origin(record)]
    return parts + ([record[TIMEZONE]] if record.get(TIMEZONE) else [])


def candle_note(fitted: candles.Candles) -> str:
    """What one candle covers, and how session breaks are marked, e.g. "1 candle = 30 min, ┊ a new session"."""
    notes = [f"1 candle = {fitted.unit}"] if fitted.unit else []
    return ", ".join(notes + ([f"{SESSION_MARK} a new session"] if fitted.session_starts else []))


def fitted_title(parts: list[str], width: int) -> str:
    """The parts on one line, closer together when they do not fit, and cut at the width."""
    title = "  ".join(parts)
    return (title if len(title) <= width else " ".join(parts))[:width]


def terminal_chart(record: dict, width: int | None = None, height: int | None = None, color: bool = False) -> str:
    """The chart as text: the title on top, candles, and volume beneath on the same time axis."""
    import plotext as plt

    columns, rows = shutil.get_terminal_size()
    width = width or columns
    height = height or max(MIN_HEIGHT, min(MAX_HEIGHT, rows - 4))
    frame = ohlcv_frame(record)
    fitted = candles.fit(frame, (width - Y_LABEL_WIDTH - 2) // CANDLE_COLUMNS)
    merged = fitted.frame
    # Candles sit at positions 0..n-1, so nights and weekends leave no gaps; times label the ticks.
    xs = list(range(len(merged)))
    per_candle = (width - Y_LABEL_WIDTH - 2) / len(merged)  # columns: the chart spreads few candles out
    ticks, labels = candles.time_ticks(candles.times(merged), lambda label: (label + LABEL_GAP) / per_candle)

    plt.terminal.limit(False, False)  # our size, not plotext's guess of the terminal
    fig = plt.figure
    fig.clear()
    fig.subplots(2, 1)
    prices, volume = fig.subplot(1, 1), fig.subplot(2, 1)
    fig.theme("simple" if color else "colorless")  # before the titles, which take the theme's colours
    ohlc = {"date": xs, **{k.lower(): merged[k].tolist() for k in OHLCV[:4]}}
    prices.draw(prices.candlestick(ohlc))
    prices.title(fitted_title(title_parts(record, frame), width - 2))
    volume.draw(volume.candlestick(_volume_columns(xs, merged)))
    volume.title("  ".join(["volume", candle_note(fitted)]).strip())
    for part, values, unit in ((prices, merged[["Low", "High"]], _price), (volume, merged["Volume"], _count)):
        part.ruler("x").lim(-0.5, len(xs) - 0.5).ticks(ticks, labels)
        low, high = float(np.min(values.to_numpy())), float(np.max(values.to_numpy()))
        part.ruler("y").ticks(*_value_ticks(0.0 if unit is _count else low, high, unit))
        for start in fitted.session_starts:
            part.line(start - 0.5, orientation=1, relative=False, style="dotted")
    fig.plot_size(width, height)
    prices.plot_size(None, round(height * CANDLE_SHARE))
    text = fig.build().string()
    return text if color else plt.uncolorize(text)


def _volume_columns(xs: list[int], merged: pd.DataFrame) -> dict:
    """Volume drawn as candles from 0, so each column sits exactly under its candle, in its colour."""
    volume, up = merged["Volume"].to_numpy(), (merged["Close"] >= merged["Open"]).to_numpy()
    zero = np.zeros(len(volume))
    return {
        "date": xs,
        "open": np.where(up, zero, volume).tolist(),
        "close": np.where(up, volume, zero).tolist(),
        "high": volume.tolist(),
        "low": zero.tolist(),
    }


def _value_ticks(low: float, high: float, unit) -> tuple[list[float], list[str]]:
    """Four ticks from low to high, labelled right-aligned to one width so both panels line up."""
    if high <= low:
        high = low + 1.0
    values = list(np.linspace(low, high, 4))
    return values, [unit(v).rjust(Y_LABEL_WIDTH) for v in values]


def _price(value: float) -> str:
    return f"{value:,.2f}" if abs(value) < 100_000 else f"{value:,.0f}"


def _count(value: float, digits: str = "{:.1f}") -> str:
    for size, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= size:
            return digits.format(value / size) + suffix
    return f"{value:.0f}"


def file_format(path: str) -> str:
    """The chart format a file name asks for ("png", "svg", "pdf"); ValueError for any other."""
    kind = PurePath(path).suffix.lower().lstrip(".")
    if kind not in FILE_FORMATS:
        raise ValueError(f"cannot tell the chart format of {path!r}: name a .png, .svg or .pdf file")
    return kind


def save_chart(record: dict, path: str) -> None:
    """Write a candlestick chart with volume beneath to `path`, in the format its extension names."""
    save_charts([record], path)


def save_charts(records: list[dict], path: str) -> None:
    """Write the records' charts to one file: one chart, or small multiples in a grid for several."""
    kind = file_format(path)
    if not records:
        raise ValueError("no bars to chart")
    import matplotlib

    matplotlib.use("Agg")  # files only: never open a window
    # The chart style asks for a font weight DejaVu lacks; the substitute is fine, the warning noise.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    import matplotlib.pyplot as pyplot
    import mplfinance as mpf

    columns = _grid_columns(len(records))
    rows = math.ceil(len(records) / columns)
    single = len(records) == 1
    size = FILE_SIZE if single else (PANEL_SIZE[0] * columns, PANEL_SIZE[1] * rows)
    figure = mpf.figure(style="yahoo", figsize=size)
    grid = figure.add_gridspec(rows, columns, hspace=0.45, wspace=0.25)
    for i, record in enumerate(records):
        cell = grid[divmod(i, columns)].subgridspec(2, 1, height_ratios=[3, 1], hspace=0.08)
        prices = figure.add_subplot(cell[0])
        volume = figure.add_subplot(cell[1], sharex=prices)
        _draw_panel(mpf, record, prices, volume, single)
    try:
        figure.savefig(path, format=kind, dpi=FILE_DPI, bbox_inches="tight")
    finally:
        pyplot.close(figure)


def _grid_columns(count: int) -> int:
    return 1 if count == 1 else 2 if count <= 4 else math.ceil(math.sqrt(count))


def _draw_panel(mpf, record: dict, prices, volume, single: bool) -> None:
    """One record's candles on `prices` and its volume on `volume`, with title, ticks and session breaks."""
    frame = ohlcv_frame(record)
    pixels = prices.get_window_extent().width
    fitted = candles.fit(frame, int(pixels / CANDLE_PIXELS))
    merged = fitted.frame
    mpf.plot(merged, type="candle", ax=prices, volume=volume, warn_too_much_data=len(merged) + 1, xrotation=0)
    low, high = prices.get_xlim()
    per_candle = pixels / (high - low)
    ticks, labels = candles.time_ticks(
        candles.times(merged), lambda label: (label * LABEL_PIXELS + LABEL_MARGIN) / per_candle
    )
    volume.set_xticks(ticks, labels)
    prices.tick_params(labelbottom=False)
    for start in fitted.session_starts:
        for part in (prices, volume):
            part.axvline(start - 0.5, color="0.65", linewidth=0.5, linestyle=(0, (2, 3)))
    what, span, *where = title_parts(record, frame)
    lines = ["  ".join([what, *where]), "  ".join(filter(None, [span, candle_note(fitted)]))]
    prices.set_title("\n".join(lines), fontsize=12 if single else 9, fontweight="bold" if single else "normal")
    prices.set_ylabel("Price" if single else "")
    volume.set_ylabel("Volume" if single else "")
    volume.yaxis.set_major_formatter(lambda value, _: _count(value, "{:.3g}"))
    volume.yaxis.offsetText.set_visible(False)
