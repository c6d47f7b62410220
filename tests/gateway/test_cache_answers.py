"""Requests answered from the bar cache: repeats, smaller counts, and entries the other route stored."""

import pytest
from ib_async import Stock

from support.gateway_terminal import FRIDAY_AFTER_CLOSE

LATEST = ["symbol", "period", "count", "adjust", "bars"]
RANGE = ["symbol", "period", "start", "end", "adjust", "bars"]


# Each route's repeat: the last log line, the record's keys and its source. The fallback logs its
# hand-over and then fetches nothing; its intraday curve is marked "cache" until run marks it.
REPEATS = {
    "latest-candles": (
        "AAPL day 100",
        {
            "ibkr": ("INFO|[AAPL] kline exact cache hit: day 100 none", [*LATEST, "cached", "source"], "ibkr"),
            "yfinance": ("INFO|[AAPL] yfinance fallback: rest=['day', '100']", [*LATEST, "cached"], None),
        },
    ),
    "date-range": (
        "AAPL 2025-01-01 2025-06-01",
        {
            "ibkr": (
                "INFO|[AAPL] history cache hit: 2025-01-01~2025-06-01 day none",
                [*RANGE, "cached", "source"],
                "ibkr",
            ),
            "yfinance": ("INFO|[AAPL] yfinance fallback: rest=['2025-01-01', '2025-06-01']", [*RANGE, "cached"], None),
        },
    ),
    "intraday": (
        "AAPL intraday",
        {
            "ibkr": ("INFO|[AAPL] intraday cache hit", ["symbol", "type", "bars", "source"], "ibkr"),
            "yfinance": (
                "INFO|[AAPL] intraday cache hit (yfinance path)",
                ["symbol", "type", "bars", "source"],
                "cache",
            ),
        },
    ),
}
ROUTES = {"ibkr": True, "yfinance": False}  # source -> whether the gateway is connected


def fetches(terminal, fake_yf) -> int:
    return len(terminal.requests) + len(fake_yf.calls)


@pytest.mark.parametrize("source", ROUTES)
@pytest.mark.parametrize("mode", REPEATS)
async def test_repeat_is_answered_from_the_cache(terminal, fake_yf, mode, source):
    fake_yf.now = FRIDAY_AFTER_CLOSE
    line, routes = REPEATS[mode]
    hit_line, keys, marked = routes[source]
    first = await terminal.run(line, online=ROUTES[source])
    again = await terminal.run(line, online=ROUTES[source])
    assert terminal.logs[-1] == hit_line
    assert fetches(terminal, fake_yf) == len(terminal.prints) == 1
    assert again["bars"] is first["bars"]
    assert list(again) == keys
    assert again.get("source") == marked and again.get("cached", True) is True


@pytest.mark.parametrize("source", ROUTES)
async def test_smaller_count_is_answered_from_the_larger_entry(terminal, fake_yf, source):
    fake_yf.now = FRIDAY_AFTER_CLOSE
    first = await terminal.run("AAPL day 100", online=ROUTES[source])
    smaller = await terminal.run("AAPL day 50", online=ROUTES[source])
    if ROUTES[source]:
        assert terminal.logs[-1] == "INFO|[AAPL] kline larger-cache hit: day 50 none"
    assert fetches(terminal, fake_yf) == len(terminal.prints) == 1
    assert smaller["bars"] == first["bars"][-50:]
    assert (smaller["count"], smaller["cached"]) == (50, True)
    assert terminal.cached("count_key", "AAPL", "day", "none", 50) is smaller["bars"]  # kept under the exact key


async def test_intraday_hit_is_marked_cache_until_run_marks_it_ibkr(terminal):
    fresh = await terminal.run("AAPL intraday")
    hit = await terminal.last._intraday(Stock("AAPL", "SMART", "USD"))
    assert (hit["source"], hit["bars"]) == ("cache", fresh["bars"])
    assert len(terminal.requests) == 1


@pytest.mark.parametrize("gateway_first", [True, False], ids=["gateway-then-fallback", "fallback-then-gateway"])
@pytest.mark.parametrize(
    "line", ["AAPL day 100", "AAPL 2025-01-01 2025-06-01", "AAPL intraday"], ids=["counts", "ranges", "intraday"]
)
async def test_an_entry_from_either_route_answers_the_other(terminal, fake_yf, line, gateway_first):
    fake_yf.now = FRIDAY_AFTER_CLOSE
    first = await terminal.run(line, online=gateway_first)
    assert first["source"] == ("ibkr" if gateway_first else "yfinance")
    fetched = (len(terminal.requests), len(fake_yf.calls))
    second = await terminal.run(line, online=not gateway_first)
    assert (len(terminal.requests), len(fake_yf.calls)) == fetched  # neither source asked again
    assert second["bars"] is first["bars"]
    assert len(terminal.prints) == 1
