"""Requests answered from the bar cache: repeats, smaller counts, and entries the other route stored."""

import pytest
from ib_async import Stock

from gateway_terminal import FRIDAY_AFTER_CLOSE

LATEST = ["symbol", "period", "count", "adjust", "bars"]
RANGE = ["symbol", "period", "start", "end", "adjust", "bars"]


@pytest.mark.parametrize(
    "line, hit_line, keys",
    [
        ("AAPL day 100", "INFO|[AAPL] kline exact cache hit: day 100 none", [*LATEST, "cached", "source"]),
        ("AAPL 2025-01-01 2025-06-01", "INFO|[AAPL] history cache hit: 2025-01-01~2025-06-01 day none",
         [*RANGE, "cached", "source"]),
        ("AAPL intraday", "INFO|[AAPL] intraday cache hit", ["symbol", "type", "bars", "source"]),
    ],
    ids=["latest-candles", "date-range", "intraday"],
)
async def test_repeat_is_answered_from_the_cache(terminal, line, hit_line, keys):
    first = await terminal.run(line)
    again = await terminal.run(line)
    assert terminal.logs[-1] == hit_line
    assert len(terminal.requests) == len(terminal.prints) == 1
    assert again["bars"] is first["bars"]
    assert list(again) == keys
    assert again["source"] == "ibkr" and again.get("cached", True) is True


async def test_smaller_count_is_answered_from_the_larger_entry(terminal):
    first = await terminal.run("AAPL day 100")
    smaller = await terminal.run("AAPL day 50")
    assert terminal.logs[-1] == "INFO|[AAPL] kline larger-cache hit: day 50 none"
    assert len(terminal.requests) == len(terminal.prints) == 1
    assert smaller["bars"] == first["bars"][-50:]
    assert (smaller["count"], smaller["cached"]) == (50, True)
    assert terminal.cached("count_key", "AAPL", "day", "none", 50) is smaller["bars"]


async def test_intraday_hit_is_marked_cache_until_run_marks_it_ibkr(terminal):
    fresh = await terminal.run("AAPL intraday")
    hit = await terminal.last._intraday(Stock("AAPL", "SMART", "USD"))
    assert (hit["source"], hit["bars"]) == ("cache", fresh["bars"])
    assert len(terminal.requests) == 1


@pytest.mark.parametrize("gateway_first", [True, False], ids=["gateway-then-fallback",
                                                              "fallback-then-gateway"])
@pytest.mark.parametrize("line", ["AAPL day 100", "AAPL 2025-01-01 2025-06-01", "AAPL intraday"],
                         ids=["counts", "ranges", "intraday"])
async def test_an_entry_from_either_route_answers_the_other(terminal, fake_yf, line, gateway_first):
    fake_yf.now = FRIDAY_AFTER_CLOSE
    first = await terminal.run(line, online=gateway_first)
    assert first["source"] == ("ibkr" if gateway_first else "yfinance")
    fetched = (len(terminal.requests), len(fake_yf.calls))
    second = await terminal.run(line, online=not gateway_first)
    assert (len(terminal.requests), len(fake_yf.calls)) == fetched  # neither source asked again
    assert second["bars"] is first["bars"]
    assert len(terminal.prints) == 1
