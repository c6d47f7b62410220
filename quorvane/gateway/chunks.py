"""Long history in chunks: a request whose answer would run to many thousand bars goes out as
consecutive requests of about CHUNK_BARS bars each, with explicit ends, and comes back as one answer.

IBKR's advice is to ask "in such a way that only a few thousand bars are returned at a time", and
live gateways answer 2,000 to 8,000 bars in 2 to 9 s (see ibsim.timing); one request for a year
of minute bars would outlast any timeout. Each chunk covers whole days: its end is its last day
(the newest keeps the request's own end), its duration the sessions it spans, so every chunk is
a legal duration; bars outside a chunk's days are dropped, so the seams hold no duplicates. Days
are weekdays, a gateway's sessions; a holiday's chunk just reaches one session further back.

A failing chunk is tried again a few times; if it still fails the answer is what came, and a
warning names what is missing. On a terminal the status line counts the chunks as they land.
"""

from __future__ import annotations

import asyncio
import math
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, replace
from datetime import UTC, date, datetime, timedelta
from typing import Any, cast

import numpy as np
from ib_async import BarDataList
from ib_async.wrapper import RequestError
from loguru import logger

from quorvane import console
from quorvane.gateway.bar_times import end_of_day
from quorvane.gateway.kept_days import KeptDays
from quorvane.gateway.kline_cache import mark_partial

SPLIT_ABOVE = 3_000  # bars: a request expected to bring more is split
SPLIT_UP_TO = 1_000_000  # bars: beyond this a request goes as one, and the gateway refuses it
CHUNK_BARS = 2_000  # bars a chunk aims at: a week of minute bars
CHUNK_TRIES = 3
RETRY_PAUSES = (1.0, 3.0)  # seconds before the second and third try
# A chunk's timeout: a real gateway may take 4 ms a bar and a few seconds a request.
TIMEOUT_BASE, TIMEOUT_PER_BAR = 20.0, 0.01

# The gateway takes no end date for adjusted prices or for a continuous future.
NO_END_DATES = frozenset({"ADJUSTED_LAST", "CONTFUT"})
_BAR_SECONDS = {"sec": 1, "secs": 1, "min": 60, "mins": 60, "hour": 3600, "hours": 3600, "day": 86400}
_SESSION_SECONDS = {True: 23_400, False: 82_800}  # regular hours (6.5 h); all hours (up to 23 h)
_SESSIONS_PER_UNIT = {"W": 5, "M": 22, "Y": 261}
PERIOD_WORDS = {"1 min": "1m", "5 mins": "5m", "15 mins": "15m", "30 mins": "30m", "1 hour": "1h", "1 day": "day"}


@dataclass(frozen=True)
class Chunk:
    days: tuple[date, ...]  # consecutive weekdays, oldest first
    end: date | str | None  # an explicit end (the last day), or the request's own for the newest
    newest: bool

    @property
    def duration(self) -> str:
        return f"{len(self.days)} D"

    def holds(self, day: date) -> bool:
        return self.days[0] <= day and (self.newest or day <= self.days[-1])


@dataclass(frozen=True)
class Plan:
    days: tuple[date, ...]  # the weekdays the request covers, oldest first
    bars_per_day: int
    keep_bars: int | None  # "N D": the answer holds the last N sessions' worth of trading time

    @property
    def expected_bars(self) -> int:
        return self.keep_bars or len(self.days) * self.bars_per_day

    def chunks(self, request_end, days: tuple[date, ...] | None = None) -> list[Chunk]:
        """Chunks over `days` (default: all the plan's), split where a day is left out."""
        days = self.days if days is None else days
        per_chunk = max(1, min(365, CHUNK_BARS // self.bars_per_day))
        chunks: list[Chunk] = []
        run: list[date] = []
        for day in days:
            if run and (len(run) == per_chunk or _next_weekday(run[-1]) != day):
                chunks.append(Chunk(tuple(run), run[-1], False))
                run = []
            run.append(day)
        if run:
            newest = run[-1] == self.days[-1]
            chunks.append(Chunk(tuple(run), request_end if newest else run[-1], newest))
        return chunks


def is_long(request) -> bool:
    """True for a request whose answer would run to more than SPLIT_ABOVE bars, in a shape that splits."""
    return _shape(request) is not None


def _shape(request) -> tuple[int, int, int, str] | None:
    """(bar seconds, bars a session, duration number, unit) of a request to split, else None."""
    seconds = bar_seconds(request.bar_size)
    number, unit = _duration(request.duration)
    has_end = end_day(request, date.min) is not None  # other text of the gateway's own goes as it is
    if seconds is None or seconds > 86400 or not has_end or unit not in ("D", "W", "M", "Y"):
        return None
    if request.what in NO_END_DATES or request.contract.secType in NO_END_DATES:
        return None
    bars_per_day = 1 if seconds == 86400 else math.ceil(_SESSION_SECONDS[bool(request.use_rth)] / seconds) + 1
    sessions = number if unit == "D" else number * _SESSIONS_PER_UNIT[unit]
    # A chunk never exceeds CHUNK_BARS, so a chunk's own request is never split again.
    split = max(SPLIT_ABOVE, CHUNK_BARS) < sessions * bars_per_day <= SPLIT_UP_TO
    return (seconds, bars_per_day, number, unit) if split else None


def plan(request, today: date) -> Plan | None:
    """How a request would be split, `today` being the gateway's date; None when it goes as one."""
    shape = _shape(request)
    if shape is None:
        return None
    seconds, bars_per_day, number, unit = shape
    last = end_day(request, today)
    assert last is not None, "only a request with an end it can read splits"
    if unit != "D":
        return Plan(_weekdays_between(_calendar_start(last, number, unit), last), bars_per_day, None)
    days = _weekdays_back(last, number + math.ceil(number / 10) + 2)  # room for holidays, early closes
    # "N D" of bars under a day is N regular sessions' worth of trading time back from the end.
    keep = number if seconds == 86400 else number * _SESSION_SECONDS[True] // seconds
    return Plan(days, bars_per_day, keep)


def covered_days(request, end_day: date) -> tuple[date, ...]:
    """The weekdays a request's duration covers back from `end_day`: "N D" as N sessions."""
    number, unit = _duration(request.duration)
    if unit in ("W", "M", "Y"):
        return _weekdays_between(_calendar_start(end_day, number, unit), end_day)
    return _weekdays_back(end_day, max(1, number)) if unit == "D" else (end_day,)


def bar_seconds(bar_size: str) -> int | None:
    number, _, unit = str(bar_size).strip().partition(" ")
    scale = _BAR_SECONDS.get(unit.strip())
    return int(number) * scale if scale and number.isdigit() else None


Fetch = Callable[[Any, float], Awaitable[BarDataList]]  # (request, timeout)


async def gateway_today(ib) -> date:
    """The gateway's date (in UTC), which may not be this machine's."""
    try:
        async with asyncio.timeout(5):
            return (await ib.reqCurrentTimeAsync()).astimezone(UTC).date()
    except (TimeoutError, ConnectionError, OSError):
        return datetime.now(UTC).date()


async def fetch_long(ib, request, fetch_one: Fetch, answer: BarDataList, timeout: float) -> BarDataList:
    """A long request in chunks: days kept in the bar store come from there, the rest from the
    gateway, and each closed day that lands is kept."""
    today = await gateway_today(ib)
    plan_ = plan(request, today)
    assert plan_ is not None, "called for a long request only"
    kept = KeptDays.of(request)
    return await fetch(request, plan_, fetch_one, answer, timeout, kept, today)


async def fetch(
    request,
    plan_: Plan,
    fetch_one: Fetch,
    answer: BarDataList,
    timeout: float,
    kept: KeptDays | None = None,
    today: date | None = None,
) -> BarDataList:
    """The plan's bars in `answer`: kept days from `kept`, the others with `fetch_one(chunk request,
    timeout)`, joined in order. Days before `today` that land are kept."""
    if kept is not None:
        assert today is not None, "kept days come with today's date"
        stored = kept.load(plan_.days, today)
    else:
        stored = {}
    chunks = plan_.chunks(request.end, tuple(day for day in plan_.days if day not in stored))
    on_chunk = None if kept is None else lambda chunk, bars: kept.keep(chunk.days, bars, cast(date, today), bar_day)
    progress = Progress(request, plan_, len(chunks), sum(map(len, stored.values())))
    results = await asyncio.gather(
        *(_fetch_chunk(request, c, plan_, fetch_one, timeout, progress, on_chunk) for c in chunks)
    )
    pieces = sorted(
        [(day, bars) for day, bars in stored.items()]
        + [(chunk.days[0], bars) for chunk, bars in zip(chunks, results, strict=True) if bars]
    )
    joined = [bar for _, bars in pieces for bar in bars]
    if plan_.keep_bars:
        joined = joined[-plan_.keep_bars :]
    answer.extend(joined)
    failed = [c for c, bars in zip(chunks, results, strict=True) if bars is None]
    progress.done(len(answer), failed)
    if failed:
        mark_partial(series_symbol(request.contract))
    return answer


async def _fetch_chunk(
    request, chunk: Chunk, plan_: Plan, fetch_one: Fetch, timeout: float, progress: Progress, on_chunk
) -> list | None:
    """The chunk's bars within its days; None when every try failed."""
    end = chunk.end if chunk.newest else end_of_day(chunk.end, getattr(request, "zone", None))
    asked = replace(request, end=end, duration=chunk.duration)
    seconds = TIMEOUT_BASE + TIMEOUT_PER_BAR * len(chunk.days) * plan_.bars_per_day if timeout else 0
    for attempt in range(CHUNK_TRIES):
        if attempt:
            await asyncio.sleep(RETRY_PAUSES[attempt - 1])
        try:
            got = await fetch_one(asked, seconds)
        except RequestError as exc:
            logger.debug("[{}] chunk ending {} failed: {}", request.label, chunk.days[-1], exc)
            continue
        if got:
            bars = [bar for bar in got if chunk.holds(bar_day(bar))]
            if on_chunk is not None:
                on_chunk(chunk, bars)
            progress.landed(len(bars))
            return bars
    return None


def series_symbol(contract) -> str:
    """The symbol as the terminal writes it: a future with its slash ("/ES")."""
    return ("/" if contract.secType in ("FUT", "CONTFUT") else "") + contract.symbol


def bar_day(bar) -> date:
    stamp = bar.date
    return stamp.date() if isinstance(stamp, datetime) else stamp


class Progress:
    """The chunks' progress on the terminal's status line, and a closing line."""

    def __init__(self, request, plan_: Plan, total: int, kept_bars: int = 0) -> None:
        period = PERIOD_WORDS.get(request.bar_size, request.bar_size)
        self.head = f"[{request.label}] {period} {plan_.days[0]}..{plan_.days[-1]}"
        self.expected = plan_.expected_bars
        self.total = total
        self.landed_chunks = 0
        self.bars = kept_bars
        self.started = time.monotonic()
        self._show()

    def landed(self, bars: int) -> None:
        self.landed_chunks += 1
        self.bars += bars
        self._show()

    def _show(self) -> None:
        console.show_progress(f"{self.head}: {self.landed_chunks}/{self.total} chunks, {self.bars:,} bars")

    def done(self, bars: int, failed: list[Chunk]) -> None:
        seconds = time.monotonic() - self.started
        logger.info("{}: {} chunks, {:,} bars in {:.1f} s", self.head, self.total, bars, seconds)
        if failed:
            missing = ", ".join(f"{a}..{b}" for a, b in _spans(failed))
            logger.warning("{}: {:,} of about {:,} bars; {} missing", self.head, bars, _about(self.expected), missing)


def _about(bars: int) -> int:
    """A round figure: two significant digits."""
    if bars < 100:
        return bars
    scale = 10 ** (len(str(bars)) - 2)
    return round(bars / scale) * scale


def _spans(chunks: list[Chunk]) -> list[tuple[date, date]]:
    """Failed chunks as spans of days, neighbours joined."""
    spans: list[list[date]] = []
    for chunk in chunks:
        if spans and _next_weekday(spans[-1][1]) == chunk.days[0]:
            spans[-1][1] = chunk.days[-1]
        else:
            spans.append([chunk.days[0], chunk.days[-1]])
    return [(a, b) for a, b in spans]


def end_day(request, today: date) -> date | None:
    """The exchange's day a request ends on: `today` for no end; None for an end it cannot read."""
    end, zone = request.end, getattr(request, "zone", None)
    if not end:
        return today
    if isinstance(end, datetime):
        return (end.astimezone(zone) if zone and end.tzinfo else end).date()
    if isinstance(end, date):
        return end
    try:  # the UTC form a date end is sent in
        moment = datetime.strptime(str(end), "%Y%m%d %H:%M:%S UTC").replace(tzinfo=UTC)
    except ValueError:
        return None
    return moment.astimezone(zone).date() if zone else moment.date()


def _duration(text: str) -> tuple[int, str]:
    number, _, unit = str(text).strip().partition(" ")
    return (int(number), unit.strip()) if number.isdigit() else (0, "")


def _weekdays_back(end: date, count: int) -> tuple[date, ...]:
    last = np.busday_offset(np.datetime64(end, "D"), 0, roll="backward")
    first = np.busday_offset(last, -(count - 1), roll="backward")
    return _weekdays_between(first.astype(object), last.astype(object))


def _weekdays_between(first: date, last: date) -> tuple[date, ...]:
    span = np.arange(np.datetime64(first, "D"), np.datetime64(last, "D") + np.timedelta64(1, "D"))
    return tuple(day.astype(object) for day in span[np.is_busday(span)])


def _calendar_start(end: date, number: int, unit: str) -> date:
    if unit == "W":
        return end - timedelta(weeks=number) + timedelta(days=1)
    months = number * (12 if unit == "Y" else 1)
    year, month = divmod(end.year * 12 + end.month - 1 - months, 12)
    return date(year, month + 1, min(end.day, 28)) + timedelta(days=1)


def _next_weekday(day: date) -> date:
    return np.busday_offset(np.datetime64(day, "D"), 1, roll="forward").astype(object)
