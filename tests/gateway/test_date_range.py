"""kline <symbol> <start> [end] [period] [adj] over the simulated gateway."""

import dataclasses
import datetime as dt
import math
from zoneinfo import ZoneInfo

import pytest
from ib_async import Contract

from support.gateway_terminal import BAR_FIELDS, BAR_SIZES, FRIDAY_AFTER_CLOSE, RecordedFallback, bounded, sent
from support.words import RANGE_WORDS, canonical

pytestmark = pytest.mark.usefixtures("host_zone")

NEW_YORK = ZoneInfo("America/New_York")
MONDAY_AFTER_INDEPENDENCE_DAY = dt.datetime(2025, 7, 7, 20, 30, tzinfo=dt.UTC)


def duration_from(start: str, end: dt.date | None = None) -> str:
    """What a request must ask for: the days from start to end (today if none), both included."""
    days = max(1, ((end or dt.date.today()) - dt.date.fromisoformat(start)).days + 1)
    return f"{days} D" if days <= 365 else f"{math.ceil(days / 365)} Y"


def wire_end(end: str) -> str:
    """The text of a date end: the last second of that day at the exchange, in UTC."""
    day = dt.date.fromisoformat(end)
    return (
        dt.datetime.combine(day, dt.time(23, 59, 59), tzinfo=NEW_YORK)
        .astimezone(dt.UTC)
        .strftime("%Y%m%d %H:%M:%S UTC")
    )


async def replay(ib, request) -> list:
    """The gateway's whole answer to a request the module sent."""
    contract = Contract(**dataclasses.asdict(request.contract), includeExpired=request.includeExpired)
    return list(
        await ib.reqHistoricalDataAsync(
            contract,
            request.endDateTime,
            request.durationStr,
            request.barSizeSetting,
            request.whatToShow,
            request.useRTH,
            timeout=5,
        )
    )


def day_of(stamp) -> dt.date:
    return stamp.date() if isinstance(stamp, dt.datetime) else stamp


def naive(stamp):
    return stamp.replace(tzinfo=None) if isinstance(stamp, dt.datetime) else stamp


# Minute bars over months go out in chunks (tests/host/test_chunks.py).
@pytest.mark.parametrize("case", [case for case in RANGE_WORDS if case != "alias-minute"])
async def test_words_become_one_request(terminal, pinned_today, case):
    words, start, end, period, adjust, adjusted = RANGE_WORDS[case]
    command = terminal.command("AAPL", RecordedFallback)
    command.rest = list(words)
    result = await bounded(command.run())
    bar_size, what = BAR_SIZES[canonical(period)], "ADJUSTED_LAST" if adjusted else "TRADES"
    # Adjusted ranges run up to now: the gateway refuses an end date for them.
    end_time = "" if adjusted else wire_end(end)
    duration = duration_from(start, pinned_today if adjusted else dt.date.fromisoformat(end))
    assert [sent(r) for r in terminal.requests] == [("STK", "AAPL", end_time, duration, bar_size, what, True, False)]
    assert terminal.logs[0] == (
        f"INFO|[AAPL] history: {start} → {end}, period={period} ({bar_size}), duration={duration}, what={what}"
    )
    assert "fallback" not in result
    assert (result["period"], result["start"], result["end"], result["adjust"]) == (period, start, end, adjust)


async def test_start_after_end_sends_nothing(terminal):
    await terminal.run("AAPL 2025-06-01 2025-01-01", RecordedFallback)
    assert terminal.logs == [
        "ERROR|Start must be before end: 2025-06-01 > 2025-01-01",
        "WARNING|[AAPL] IBKR returned error (Start must be before end), falling back to yfinance",
    ]
    assert terminal.requests == [] and terminal.prints == []
    assert terminal.last.fallbacks == [("AAPL", ["2025-06-01", "2025-01-01"])]


@pytest.mark.parametrize(
    "words, clock, day, count",
    [
        ("2025-07-03 2025-07-03 5m", MONDAY_AFTER_INDEPENDENCE_DAY, "2025-07-03", 42),  # a half day
        ("today 5m", FRIDAY_AFTER_CLOSE, "2025-06-13", 78),
    ],
    ids=["start-is-end", "today-alone"],
)
async def test_one_day_is_that_days_bars(terminal, pinned_today, words, clock, day, count):
    terminal.sim.set_clock(clock)
    result = await terminal.run(f"AAPL {words}", RecordedFallback)
    assert terminal.requests[-1].durationStr == "1 D"
    assert {day_of(bar["date"]) for bar in result["bars"]} == {dt.date.fromisoformat(day)}
    assert (len(result["bars"]), result["start"], result["end"]) == (count, day, day)
    assert terminal.titles == [f"AAPL 5m {day} ~ {day}"]


@pytest.mark.parametrize(
    "line, period, adjust, title, open_end",
    [
        ("AAPL 2024-01-01 2025-01-01", "day", "none", "AAPL day 2024-01-01 ~ 2025-01-01", False),
        ("AAPL 2025-01-02 2025-05-30 adj", "day", "adj", "AAPL day 2025-01-02 ~ 2025-05-30 (adjusted)", True),
    ],
    ids=["over-a-year-drops-bars-before-start", "adjusted-runs-to-now-then-cut"],
)
async def test_range_keeps_only_the_bars_between_its_dates(terminal, ib, line, period, adjust, title, open_end):
    result = await terminal.run(line)
    symbol, start, end = line.split()[:3]
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    request = terminal.requests[-1]
    assert (request.endDateTime == "") == open_end
    if open_end:
        assert request.durationStr == duration_from(start)
    whole = await replay(ib, request)
    kept = [b for b in whole if first <= day_of(b.date) <= last]
    assert day_of(whole[0].date) < first  # the gateway did answer from before start
    assert [(r["date"], r["close"]) for r in result["bars"]] == [(naive(b.date), b.close) for b in kept]
    assert f"duration={request.durationStr}," in terminal.logs[0]
    assert not [entry for entry in terminal.logs if "IBKR" in entry]  # not refused, no fallback
    assert terminal.titles == [title]
    assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars", "source"]
    assert list(result["bars"][0]) == BAR_FIELDS
    assert terminal.cached("range_key", symbol, period, adjust, start, end) is result["bars"]


@pytest.mark.parametrize(
    "line, months, durations",
    [
        ("/ES 2025-01-02 2025-05-30", ["ESZ4", "ESH5", "ESM5"], ["34 D", "65 D", "50 D"]),  # "149 D" of sessions
        ("/ES 2025-06-02 2025-06-04 1h", ["ESM5"], ["3 D"]),
        ("/ES 2025-03-20 2025-03-24 30m", ["ESH5", "ESM5"], ["4 D", "1 D"]),
    ],
    ids=["across-a-roll", "futures-hours-cut-by-their-own-date", "joined-at-the-roll"],
)
async def test_a_futures_range_asks_the_front_months_for_about_the_range(terminal, ib, line, months, durations):
    result = await terminal.run(line)
    _symbol, start, end = line.split()[:3]
    first, last = dt.date.fromisoformat(start), dt.date.fromisoformat(end)
    asked = terminal.requests
    assert [(r.contract.secType, r.contract.localSymbol, r.durationStr) for r in asked] == [
        ("FUT", month, duration) for month, duration in zip(months, durations, strict=True)
    ]
    assert all(r.endDateTime and r.includeExpired for r in asked)
    stamps = [r["date"] for r in result["bars"]]
    assert stamps == sorted(set(stamps)) and first <= day_of(stamps[0]) and day_of(stamps[-1]) <= last
    expected = [naive(b.date) for r in asked for b in await replay(ib, r) if first <= day_of(b.date) <= last]
    assert stamps == sorted(set(expected))  # every bar of the range, each from its front month
    assert result["source"] == "ibkr"


async def test_range_with_every_bar_before_start_is_no_data(terminal):
    # The gateway's clock stands before this range, so two years back end before start.
    await terminal.run("AAPL 2025-06-20 2026-07-01", RecordedFallback)
    assert terminal.logs[1:] == [
        "ERROR|[AAPL] No data in range 2025-06-20 → 2026-07-01",
        "WARNING|[AAPL] IBKR returned error (No data in range), falling back to yfinance",
    ]
    assert (
        terminal.prints == []
        and terminal.cached("range_key", "AAPL", "day", "none", "2025-06-20", "2026-07-01") is None
    )
