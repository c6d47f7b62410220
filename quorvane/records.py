"""Reading a result record: its title, its one-line summary, and its JSON form."""

from __future__ import annotations

import json
import math
from datetime import date, datetime

import pandas as pd

# The key the host adds to a record whose bar times it knows the zone of.
TIMEZONE = "timezone"
# The key the host adds to a latest-candles record: the count asked for (quorvane.requested).
REQUESTED = "requested"
# The key the host adds to an error record: what went wrong on the way, in one line (quorvane.outcome).
CAUSE = "cause"


def bars_of(record: object) -> list | None:
    """The record's bar list, or None for an error record or anything that is not a record."""
    bars = record.get("bars") if isinstance(record, dict) else None
    return bars if isinstance(bars, list) else None


def is_cached(record: dict) -> bool:
    return bool(record.get("cached")) or record.get("source") == "cache"


def origin(record: dict) -> str:
    """Where the bars came from: "ibkr", "yfinance", or "cache" for an answer from the bar cache."""
    return "cache" if is_cached(record) else str(record.get("source") or "unknown")


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
    """One line about a result record, e.g. "kline AAPL: 78 of 200 bars (ibkr), times in America/New_York"."""
    head = words[0]
    if isinstance(record, dict) and record.get("symbol"):
        head += f" {record['symbol']}"
    elif len(words) > 1:
        head += f" {words[1]}"
    if not isinstance(record, dict):
        return f"{head}: error: no result record ({type(record).__name__})"
    if "error" in record:
        return f"{head}: error: {record.get(CAUSE) or record['error']}"
    bars = bars_of(record)
    if bars is None:
        return f"{head}: ok"
    line = f"{head}: {_bar_count(len(bars), record.get(REQUESTED))}"
    origin = [record["source"]] if record.get("source") else []
    if is_cached(record) and "cache" not in origin:
        origin.append("cache")
    if origin:
        line += f" ({', '.join(origin)})"
    if record.get(TIMEZONE):
        line += f", times in {record[TIMEZONE]}"
    return line


def _bar_count(got: int, asked: object) -> str:
    """ "200 bars", or "78 of 200 bars" when fewer came back than were asked for."""
    short = isinstance(asked, int) and not isinstance(asked, bool) and 0 <= got < asked
    return f"{got} of {asked} bars" if short else f"{got} bars"


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
        return bool(pd.isna(value))  # type: ignore[call-overload]  # any object at run time; the stubs list some
    except (TypeError, ValueError):
        return False
