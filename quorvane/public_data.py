"""The host's terms for public-data downloads: what Yahoo keeps, and how long a download may take.

Yahoo serves intraday bars for recent days only, and refuses a request reaching further back.
The limits, as yfinance 1.7.0 itself states them (yfinance/scrapers/history.py):

    min_lookbacks = {"1wk": None, "1d": None, "1h": _datetime.timedelta(days=730)}   # line 837
    for i in ["30m", "15m", "5m", "2m"]:
        min_lookbacks[i] = _datetime.timedelta(days=60)                              # line 839
    min_lookbacks["1m"] = _datetime.timedelta(days=30)                               # line 840

and, for 1m bars, at most a few days per request ("start = end - 691200  # 8 days", line 234,
the span yfinance asks for when told period="max"; Yahoo answers a longer 1m span with "Only 8
days worth of 1m granularity data are allowed to be fetched per request"). The 90m and 60m
intervals share the limits of their neighbours (line 233: "2m", ..., "90m"; line 235: "1h", "60m").

So a request outside them is answered in one line, without a download. A download that does
not end within DOWNLOAD_LIMIT seconds is given up (its thread is left to finish on its own).
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from datetime import date, datetime, timedelta
from typing import Any

from quorvane import outcome

DOWNLOAD_LIMIT = 15.0  # seconds for one download, every request yfinance makes for it included
LOOKBACK_DAYS = {"1m": 30, "2m": 60, "5m": 60, "15m": 60, "30m": 60, "60m": 730, "90m": 60, "1h": 730}
ONE_MINUTE_SPAN_DAYS = 8


def limit_problem(kwargs: dict, today: date) -> str | None:
    """Why Yahoo would refuse this download (the keywords the command hands yfinance), or None."""
    interval, start = kwargs.get("interval"), kwargs.get("start")
    days = LOOKBACK_DAYS.get(interval) if isinstance(interval, str) else None
    if days is None or not isinstance(start, date):
        return None  # daily and longer bars, or a look-back period, which Yahoo always serves
    start = start.date() if isinstance(start, datetime) else start
    first = today - timedelta(days=days)
    if start < first:
        return f"public data has no {interval} bars before {first.isoformat()} (Yahoo keeps {days} days)"
    end = kwargs.get("end")
    if interval == "1m" and isinstance(end, date) and (end - start).days > ONE_MINUTE_SPAN_DAYS:
        return f"public data serves at most {ONE_MINUTE_SPAN_DAYS} days of 1m bars per request"
    return None


def guard_downloads(command: Any, today: Callable[[], date] = date.today) -> None:
    """Give the command's downloads (if it makes any) the host's terms: the limits above, and
    DOWNLOAD_LIMIT."""
    download = getattr(command, "_yf_history", None)
    if download is None:
        return

    async def bounded(**kwargs):
        if (problem := limit_problem(kwargs, today())) is not None:
            outcome.note_public(problem)
            return None  # what a failed download gives: the command reports no data
        try:
            async with asyncio.timeout(DOWNLOAD_LIMIT):
                return await download(**kwargs)
        except TimeoutError:
            outcome.note_public(f"public data did not answer within {DOWNLOAD_LIMIT:g} s")
            return None

    command._yf_history = bounded  # the command finds its download seam on itself
