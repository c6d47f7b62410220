"""_history_yfinance: the bars between two dates from yfinance, every row, printed and cached."""

from datetime import date, timedelta

import pytest

from fixtures.yf import make_history_frame
from quorvane.cmds.quotes import kline
from support.fallback_helpers import cached
from support.words import RANGE_WORDS, canonical

FRESH_KEYS = ["symbol", "period", "start", "end", "adjust", "bars", "source"]
INTERVAL = {"1m": "1m", "1h": "60m", "day": "1d", "week": "1wk", "month": "1mo", "year": "1mo"}

# ... and the day words as a range's start
GRAMMAR = {
    **RANGE_WORDS,
    "yesterday": (["yesterday"], "2025-06-12", "2025-06-13", "day", "none", False),
    "today-alone": (["today"], "2025-06-13", "2025-06-13", "day", "none", False),
}


@pytest.mark.parametrize(("words", "start", "end", "period", "adjust", "auto_adjust"), GRAMMAR.values(), ids=GRAMMAR)
async def test_words_choose_the_download_key_and_title(
    market, command, log_lines, printed, pinned_today, words, start, end, period, adjust, auto_adjust
):
    market.respond_with(make_history_frame(20))
    interval = INTERVAL[canonical(period)]
    record = await command()._history_yfinance(words)
    (call,) = market.calls
    # yfinance's end is exclusive: it is asked for the day after, so the end day is in the range.
    day_after_end = date.fromisoformat(end) + timedelta(days=1)
    assert list(call.kwargs.items()) == [
        ("start", date.fromisoformat(start)),
        ("end", day_after_end),
        ("interval", interval),
        ("auto_adjust", auto_adjust),
    ]
    assert type(call.kwargs["start"]) is date and type(call.kwargs["end"]) is date
    assert log_lines == [f"INFO|[AAPL] yfinance history: {start} → {end}, interval={interval}, adjust={auto_adjust}"]
    assert list(record) == FRESH_KEYS and record["source"] == "yfinance"
    assert [record[key] for key in FRESH_KEYS[:5]] == ["AAPL", period, start, end, adjust]
    assert len(record["bars"]) == 20  # every row the library delivered
    assert [title for _, title in printed] == [f"AAPL {period} {start} ~ {end} [yfinance]"]
    assert cached("range", "AAPL", period, adjust, start, end) is record["bars"]


@pytest.mark.parametrize(
    ("words", "start", "end"),
    [
        (["2025-06-01", "2025-01-01"], "2025-06-01", "2025-01-01"),
        (["2025-07-01", "week"], "2025-07-01", "2025-06-13"),
    ],
    ids=["end-before-start", "future-start"],
)
async def test_start_after_end_is_refused_quietly(market, command, log_lines, printed, pinned_today, words, start, end):
    record = await command()._history_yfinance(words)
    assert list(record.items()) == [("error", "Start must be before end"), ("start", start), ("end", end)]
    assert (log_lines, printed, market.calls, kline._kline_cache) == ([], [], [], None)


async def test_one_day_is_that_days_bars(market, command):
    record = await command()._history_yfinance(["2025-06-10", "2025-06-10", "5m"])
    dates = {bar["date"].date() for bar in record["bars"]}
    assert dates == {date(2025, 6, 10)} and len(record["bars"]) == 78
