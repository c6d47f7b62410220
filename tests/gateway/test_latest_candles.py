"""kline <symbol> [period] [count] [adj] over the simulated gateway."""

import pytest
from ib_async import Stock

from support.gateway_terminal import BAR_FIELDS, RecordedFallback, sent
from quorvane.requested import requested_count

AAPL = Stock("AAPL", "SMART", "USD", conId=265598)


@pytest.mark.parametrize(
    "words, period, bar_size, count, duration, what",
    [
        ("", "day", "1 day", 250, "350 D", "TRADES"),
        ("day 100", "day", "1 day", 100, "140 D", "TRADES"),
        ("5m 200 adj", "5m", "5 mins", 200, "3 D", "ADJUSTED_LAST"),
        ("1h", "1h", "1 hour", 130, "20 D", "TRADES"),
        ("1m", "1m", "1 min", 120, "1 D", "TRADES"),
        ("d", "d", "1 day", 100, "100 D", "TRADES"),
        ("50", "day", "1 day", 50, "70 D", "TRADES"),
        ("adj", "day", "1 day", 250, "350 D", "ADJUSTED_LAST"),
        ("100 forward", "day", "1 day", 100, "140 D", "ADJUSTED_LAST"),
        ("5m xyz", "5m", "5 mins", 78, "1 D", "TRADES"),
        ("week", "week", "1 week", 156, "4 Y", "TRADES"),
        ("Intraday", "day", "1 day", 250, "350 D", "TRADES"),
        ("day 0", "day", "1 day", 0, "0 D", "TRADES"),
    ],
    ids=["no-words-day-250-stretched", "day-100", "5m-200-adjusted", "1h-130-in-sessions", "1m-default-120",
         "alias-d-100-unstretched", "bare-count", "bare-adj", "count-then-forward",
         "unknown-adjust-word", "week-in-years", "capital-intraday-is-adjust-word", "count-zero"],
)
async def test_words_become_one_request(terminal, words, period, bar_size, count, duration, what):
    await terminal.run(f"AAPL {words}", RecordedFallback)
    assert [sent(r) for r in terminal.requests] == [
        ("STK", "AAPL", "", duration, bar_size, what, True, False)]
    assert terminal.logs[0] == (f"INFO|[AAPL] kline: period={period} ({bar_size}), count={count}, "
                                f"duration={duration}, what={what}")
    # The host reads the same count from the words, for "N of M bars".
    assert requested_count(["kline", "AAPL", *words.split()], {"count": 0}) == count


@pytest.mark.parametrize(
    "words, key, title, count",
    [
        ("day 100", ("day", "none", 100), "AAPL day (100 bars)", 100),
        ("5m 200 adj", ("5m", "adj", 200), "AAPL 5m (200 bars) (adjusted)", 200),
        ("5m xyz", ("5m", "xyz", 78), "AAPL 5m (78 bars)", 78),
    ],
    ids=["as-many-as-asked", "adjusted-intraday", "unadjusting-word-no-suffix"],
)
async def test_fresh_fetch_prints_caches_and_returns(terminal, words, key, title, count):
    result = await terminal.run(f"AAPL {words}")
    assert terminal.titles == [title]
    assert list(result) == ["symbol", "period", "count", "adjust", "bars", "source"]
    assert (result["symbol"], result["period"], result["adjust"]) == ("AAPL", *key[:2])
    assert (result["count"], result["source"]) == (count, "ibkr")
    assert len(result["bars"]) == len(terminal.prints[0][0]) == count
    assert list(result["bars"][0]) == BAR_FIELDS
    assert terminal.cached("count_key", "AAPL", *key) is result["bars"]


async def test_keeps_the_last_count_bars_of_the_answer(terminal, ib):
    result = await terminal.run("AAPL 5m 50")
    whole = await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "5 mins", "TRADES", True, timeout=5)
    assert len(whole) == 78
    assert [(bar["date"], bar["close"]) for bar in result["bars"]] == [
        (bar.date.replace(tzinfo=None), bar.close) for bar in whole[-50:]]
    assert terminal.titles == ["AAPL 5m (50 bars)"]
