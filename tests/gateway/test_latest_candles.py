"""kline <symbol> [period] [count] [adj] over the simulated gateway."""

import pytest
from ib_async import Stock

from quorvane.requested import requested_count
from support.gateway_terminal import BAR_FIELDS, BAR_SIZES, RecordedFallback, bounded, sent
from support.words import LATEST_WORDS, canonical

AAPL = Stock("AAPL", "SMART", "USD", conId=265598)
# The fallback keeps every bar for a count of zero; the gateway asks for none.
WORDS = {**LATEST_WORDS, "count-zero": (["day", "0"], "day", 0, "none", False)}
# case -> the duration asked for: enough sessions (or years) for the count, stretched for non-trading days
DURATIONS = {
    "no-words": "350 D",
    "period-count": "140 D",
    "period-count-adj": "3 D",
    "count-alone": "70 D",
    "adj-alone": "350 D",
    "count-then-forward": "140 D",
    "forward-adjusts": "350 D",
    "capitalised-adj-does-not": "350 D",
    "unknown-adj-word": "1 D",
    "period-after-count-is-adj-word": "280 D",
    "capitalised-period-is-adj-word": "350 D",
    "capitalised-intraday-is-adj-word": "350 D",
    "further-words-ignored": "140 D",
    "count-with-blanks-sign-underscore": "19 D",
    "1m-default": "1 D",
    "1h-default-in-sessions": "20 D",
    "week-default": "4 Y",
    "year-default": "10 Y",
    "alias-minute": "1 D",
    "alias-hour": "16 D",
    "alias-d": "100 D",
    "alias-1d": "100 D",
    "alias-w": "2 Y",
    "alias-m": "9 Y",
    "alias-1mo": "9 Y",
    "alias-y": "9 Y",
    "count-zero": "0 D",
}


@pytest.mark.parametrize("case", WORDS)
async def test_words_become_one_request(terminal, case):
    words, period, count, _, adjusted = WORDS[case]
    command = terminal.command("AAPL", RecordedFallback)
    command.rest = list(words)
    await bounded(command.run())
    bar_size, duration = BAR_SIZES[canonical(period)], DURATIONS[case]
    what = "ADJUSTED_LAST" if adjusted else "TRADES"
    assert [sent(r) for r in terminal.requests] == [("STK", "AAPL", "", duration, bar_size, what, True, False)]
    assert terminal.logs[0] == (
        f"INFO|[AAPL] kline: period={period} ({bar_size}), count={count}, duration={duration}, what={what}"
    )
    # The host reads the same count from the words, for "N of M bars".
    assert requested_count(["kline", "AAPL", *words], {"count": 0}) == count


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
        (bar.date.replace(tzinfo=None), bar.close) for bar in whole[-50:]
    ]
    assert terminal.titles == ["AAPL 5m (50 bars)"]
