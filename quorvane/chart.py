"""Candlestick charts of a result record's bars: in the terminal (plotext) and as PNG (mplfinance)."""

from __future__ import annotations

import logging
import shutil

import pandas as pd

from quorvane.output import record_title

OHLCV = ["Open", "High", "Low", "Close", "Volume"]
# Terminal chart: the candles take this share of the height, volume the rest.
CANDLE_SHARE = 0.7
MIN_HEIGHT, MAX_HEIGHT = 16, 40
# Date labels along the terminal chart's x axis.
X_LABELS = 5
PNG_SIZE = (11, 6.5)  # inches
PNG_DPI = 100


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


def date_span(frame: pd.DataFrame) -> str:
    """First and last bar time, e.g. "2025-01-02 .. 2025-06-02"."""
    return f"{_label(frame.index[0], frame)} .. {_label(frame.index[-1], frame)}"


def _label(moment: pd.Timestamp, frame: pd.DataFrame, short: bool = False) -> str:
    """A date for daily bars, a time for intraday ones (without the date when `short` and all fall on one day)."""
    days = frame.index.normalize()
    if (days == frame.index).all():
        return moment.strftime("%Y-%m-%d")
    return moment.strftime("%H:%M" if short and days[0] == days[-1] else "%Y-%m-%d %H:%M")


def terminal_chart(record: dict, width: int | None = None, height: int | None = None, color: bool = False) -> str:
    """The chart as text: candles above, volume beneath, title and date span on top."""
    import plotext as plt

    frame = ohlcv_frame(record)
    columns, rows = shutil.get_terminal_size()
    width = width or columns
    height = height or max(MIN_HEIGHT, min(MAX_HEIGHT, rows - 4))
    # Bars sit at positions 0..n-1 so nights and weekends leave no gaps; dates label the ticks.
    xs = list(range(len(frame)))
    ticks = sorted({round(i * (len(xs) - 1) / (X_LABELS - 1)) for i in range(X_LABELS)})
    labels = [_label(frame.index[i], frame, short=True) for i in ticks]

    plt.terminal.limit(False, False)  # our size, not plotext's guess of the terminal
    fig = plt.figure
    fig.clear()
    fig.subplots(2, 1)
    candles, volume = fig.subplot(1, 1), fig.subplot(2, 1)
    ohlc = {"date": xs, **{k.lower(): frame[k].tolist() for k in OHLCV[:4]}}
    candles.draw(candles.candlestick(ohlc))
    candles.title(f"{record_title(record)}  {date_span(frame)}")
    volume.draw(volume.bar(xs, frame["Volume"].tolist()))
    volume.title("volume")
    for part in (candles, volume):
        part.ruler("x").ticks(ticks, labels)
    fig.theme("simple" if color else "colorless")
    fig.plot_size(width, height)
    candles.plot_size(None, round(height * CANDLE_SHARE))
    text = fig.build().string()
    return text if color else plt.uncolorize(text)


def save_png(record: dict, path: str) -> None:
    """Write a candlestick chart with volume beneath to `path` (PNG)."""
    import matplotlib

    matplotlib.use("Agg")  # files only: never open a window
    # The chart style asks for a font weight DejaVu lacks; the substitute is fine, the warning noise.
    logging.getLogger("matplotlib.font_manager").setLevel(logging.ERROR)
    import matplotlib.pyplot as pyplot
    import mplfinance as mpf

    frame = ohlcv_frame(record)
    figure, _ = mpf.plot(
        frame,
        type="candle",
        volume=bool(frame["Volume"].any()),
        style="yahoo",
        title=f"\n{record_title(record)}\n{date_span(frame)}",
        figsize=PNG_SIZE,
        warn_too_much_data=len(frame) + 1,
        returnfig=True,
    )
    try:
        figure.savefig(path, format="png", dpi=PNG_DPI, bbox_inches="tight")
    finally:
        pyplot.close(figure)
