"""What the runner makes of a result record: the summary line, JSON, CSV, the cached table, charts."""

from __future__ import annotations

import argparse
import json
import math
import sys
from dataclasses import dataclass
from datetime import date, datetime
from typing import IO

import pandas as pd
from loguru import logger

from mutil.frame import printFrame


@dataclass(frozen=True)
class OutputOptions:
    chart: bool = False  # candlestick chart in the terminal
    chart_png: str | None = None  # candlestick chart written to this PNG file
    json: bool = False  # the result record as JSON on stdout (the table moves to stderr)
    csv: str | None = None  # the bars written to this CSV file

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> OutputOptions:
        return cls(chart=args.chart, chart_png=args.chart_png, json=args.json, csv=args.csv)

    @property
    def any(self) -> bool:
        return self != OutputOptions()


def add_output_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("output")
    group.add_argument("--chart", action="store_true", help="draw a candlestick chart in the terminal")
    group.add_argument("--chart-png", metavar="FILE", help="write a candlestick chart (with volume) to a PNG file")
    group.add_argument("--json", action="store_true", help="print the result record as JSON on stdout")
    group.add_argument("--csv", metavar="FILE", help="write the bars to a CSV file")


def display_stream(options: OutputOptions) -> IO[str]:
    """Where tables, charts and the summary go: stderr when stdout carries JSON."""
    return sys.stderr if options.json else sys.stdout


def present(words: list[str], record: object, options: OutputOptions) -> bool:
    """Show `record` as `options` ask; False when an output could not be produced."""
    display = display_stream(options)
    if isinstance(record, dict) and is_cached(record) and record.get("bars"):
        # The command prints only fresh fetches; a person asking again still wants the table.
        print_bars(record, display)
    ok = _extra_outputs(record, options, display)
    print(summary(words, record), file=display, flush=True)
    if options.json:
        print(record_json(record), flush=True)
    return ok


def is_cached(record: dict) -> bool:
    return bool(record.get("cached")) or record.get("source") == "cache"


def print_bars(record: dict, stream: IO[str]) -> None:
    printFrame(pd.DataFrame(record["bars"]), f"{record_title(record)} [cache]", file=stream)


def _extra_outputs(record: object, options: OutputOptions, display: IO[str]) -> bool:
    """Charts and CSV: each one asked for is tried, even after another failed."""
    wanted = []  # (what is being done, how, the line to log once done)
    if options.chart:
        wanted.append(("draw the chart", lambda: print(_chart().terminal_chart(record), file=display), None))
    if options.chart_png:
        png = options.chart_png
        wanted.append((f"write the chart to {png}", lambda: _chart().save_png(record, png), f"Wrote chart to {png}"))
    if options.csv:
        csv, bars = options.csv, record.get("bars") if isinstance(record, dict) else None
        wanted.append((f"write {csv}", lambda: pd.DataFrame(bars).to_csv(csv, index=False),
                       f"Wrote {len(bars or [])} bars to {csv}"))  # fmt: skip
    if not wanted:
        return True
    if not (isinstance(record, dict) and record.get("bars")):
        if not (isinstance(record, dict) and "error" in record):  # an error record was reported already
            logger.error("No chart or CSV: the result has no bars")
        return False
    done = [_guarded(doing, action, finished) for doing, action, finished in wanted]
    return all(done)


def _chart():
    from quorvane import chart  # plotting libraries load only when a chart is asked for

    return chart


def _guarded(doing: str, action, finished: str | None) -> bool:
    try:
        action()
    except (ImportError, OSError, ValueError, TypeError) as exc:
        logger.error("Cannot {}: {}: {}", doing, type(exc).__name__, exc)
        return False
    if finished:
        logger.info(finished)
    return True


def record_title(record: dict) -> str:
    """e.g. "AAPL day (100 bars)", "AAPL 2025-01-01..2025-06-01 day (102 bars)", "AAPL intraday (390 bars)"."""
    parts = [str(record.get("symbol", ""))]
    if record.get("start"):
        parts.append(f"{record['start']}..{record.get('end', '')}")
    parts.append(str(record.get("period") or record.get("type") or ""))
    title = " ".join(p for p in parts if p) + f" ({len(record.get('bars') or [])} bars)"
    if record.get("adjust") not in (None, "none"):
        title += f" {record['adjust']}"
    return title


def summary(words: list[str], record: object) -> str:
    """One line about a result record, e.g. "kline AAPL: 100 bars (ibkr)"."""
    head = words[0]
    if isinstance(record, dict) and record.get("symbol"):
        head += f" {record['symbol']}"
    elif len(words) > 1:
        head += f" {words[1]}"
    if not isinstance(record, dict):
        return f"{head}: error: no result record ({type(record).__name__})"
    if "error" in record:
        return f"{head}: error: {record['error']}"
    if isinstance(record.get("bars"), list):
        origin = [record["source"]] if record.get("source") else []
        if is_cached(record) and "cache" not in origin:
            origin.append("cache")
        return f"{head}: {len(record['bars'])} bars" + (f" ({', '.join(origin)})" if origin else "")
    return f"{head}: ok"


def record_json(record: object) -> str:
    return json.dumps(jsonable(record), allow_nan=False)


def jsonable(value: object) -> object:
    """`value` with only JSON types: times in ISO 8601, NA/NaN/NaT as null, numpy scalars as numbers."""
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (datetime, date)):  # pandas Timestamp is a datetime; NaT is caught below
        return None if value is pd.NaT else value.isoformat()
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if _is_missing(value):
        return None
    if hasattr(value, "item"):  # numpy scalars
        return jsonable(value.item())
    return str(value)


def _is_missing(value: object) -> bool:
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False
