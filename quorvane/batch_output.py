"""What the host shows of a batch's records: tables, charts, one long CSV, the summary, a JSON array."""

from __future__ import annotations

import json
import shutil
from collections import Counter
from datetime import datetime
from typing import IO, cast

import pandas as pd
from loguru import logger

from mutil import streams
from mutil.frame import formatFrame
from quorvane import chart
from quorvane.console import supports_colour
from quorvane.output import OutputOptions, display_stream, guarded, output_actions, write_csv
from quorvane.records import CAUSE, bars_of, jsonable, origin, record_title

# Bars shown of each symbol in its compact table (the latest ones).
COMPACT_ROWS = 5
COMPACT_COLUMNS = ["date", "open", "high", "low", "close", "volume"]
# Where the sources are named in the summary line, in this order; any other after them.
SOURCES = ("ibkr", "yfinance", "cache")


def present_batch(command: str, words: list[str], records: list[dict], options: OutputOptions) -> bool:
    """Show a batch's records as `options` ask; False when an output could not be produced."""
    display = display_stream(options)
    shown = tables(records, shutil.get_terminal_size().lines)
    if shown:
        streams.write(shown + "\n", display)
    ok = _extra_outputs(records, options, display)
    streams.write(summary_line(records) + "\n", display)
    for record in failed(records):
        streams.write(f"{record.get('symbol', '?')} failed: {_why(record)}\n", display)
    if options.json:
        streams.write(json_array(records) + "\n")
    return ok


def failed(records: list[dict]) -> list[dict]:
    return [record for record in records if bars_of(record) is None]


def summary_line(records: list[dict]) -> str:
    """e.g. "3 symbols: 2 from ibkr, 1 from yfinance, 0 failed"."""
    counts = Counter(origin(record) for record in records if bars_of(record) is not None)
    order = [s for s in SOURCES if s in counts] + sorted(set(counts) - set(SOURCES))
    named = [f"{counts[source]} from {source}" for source in order] or ["0 from ibkr"]
    plural = "s" * (len(records) != 1)
    return f"{len(records)} symbol{plural}: {', '.join(named)}, {len(failed(records))} failed"


def tables(records: list[dict], height: int) -> str:
    """A compact table per symbol when they all fit in `height` lines, else one summary table."""
    blocks = [_compact(record) for record in records if bars_of(record)]
    needed = sum(block.count("\n") + 1 for block in blocks) + 2 + len(failed(records))
    return "\n".join(blocks) if needed <= height else summary_table(records)


def _compact(record: dict) -> str:
    bars = bars_of(record) or []
    frame = pd.DataFrame(bars[-COMPACT_ROWS:])
    columns = [c for c in COMPACT_COLUMNS if c in frame.columns]
    frame.index = pd.RangeIndex(len(bars) - len(frame), len(bars))
    return formatFrame(frame[columns], f"{record_title(record)} [{origin(record)}]")


def _why(record: dict) -> object:
    """What went wrong, as the request's last line says it: its cause, else the command's error."""
    return record.get(CAUSE) or record.get("error")


def summary_table(records: list[dict]) -> str:
    """One row per symbol with bars: source, bar count, first and last bar, last close, change."""
    rows = []
    for record in records:
        bars = bars_of(record)
        if not bars:
            continue
        first, last = bars[0], bars[-1]
        rows.append(
            {
                "symbol": record.get("symbol", ""),
                "source": origin(record),
                "bars": len(bars),
                "from": _when(first.get("date")),
                "to": _when(last.get("date")),
                "close": _price(last.get("close")),
                "change": _change(first.get("close"), last.get("close")),
            }
        )
    return pd.DataFrame(rows).to_string(index=False) if rows else ""


def _when(value: object) -> str:
    if isinstance(value, datetime) and (value.hour, value.minute) != (0, 0):
        return value.strftime("%Y-%m-%d %H:%M")
    return value.strftime("%Y-%m-%d") if hasattr(value, "strftime") else str(value)


def _price(value: float) -> str:
    return "" if pd.isna(value) else f"{float(value):,.2f}"


def _change(first: float, last: float) -> str:
    if pd.isna(first) or pd.isna(last) or not float(first):
        return ""
    return f"{(float(last) / float(first) - 1) * 100:+.1f}%"


def json_array(records: list[dict]) -> str:
    return json.dumps([jsonable(record) for record in records], allow_nan=False)


def long_frame(records: list[dict]) -> pd.DataFrame:
    """Every symbol's bars in one table, a `symbol` column first."""
    frames = [pd.DataFrame(bars).assign(symbol=r.get("symbol")) for r in records if (bars := bars_of(r))]
    if not frames:
        return pd.DataFrame(columns=["symbol"])
    frame = pd.concat(frames, ignore_index=True)
    return frame[["symbol", *[c for c in frame.columns if c != "symbol"]]]


def _extra_outputs(records: list[dict], options: OutputOptions, display: IO[str]) -> bool:
    """Charts (one after another in the terminal, small multiples in a file) and one long CSV."""
    charted = [record for record in records if bars_of(record)]
    frame = long_frame(records) if options.csv else None
    written = f"{len(frame) if frame is not None else 0} bars of {len(charted)} symbols"
    wanted = output_actions(
        options,
        lambda: _draw_charts(charted, display),
        lambda path: chart.save_charts(charted, path),
        lambda target: write_csv(cast(pd.DataFrame, frame), target),
        written,  # a frame whenever CSV is asked for
    )
    if wanted and not charted:
        logger.error("No chart or CSV: no symbol has bars")
        return False
    return all([guarded(doing, action, finished) for doing, action, finished in wanted])


def _draw_charts(records: list[dict], display: IO[str]) -> None:
    colour = supports_colour(display)
    for record in records:
        streams.write(chart.terminal_chart(record, color=colour) + "\n", display)
