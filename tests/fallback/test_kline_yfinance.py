"""_kline_yfinance: the latest N candles from yfinance, cut, printed and cached."""

import pytest

from fixtures.yf import make_history_frame
from support.fallback_helpers import cache_size, cached
from support.words import LATEST_WORDS, canonical

FRESH_KEYS = ["symbol", "period", "count", "adjust", "bars", "source"]
YF_CHOICE = {
    "1m": ("5d", "1m"),
    "5m": ("5d", "5m"),
    "1h": ("6mo", "60m"),
    "day": ("5y", "1d"),
    "week": ("max", "1wk"),
    "month": ("max", "1mo"),
    "year": ("max", "1mo"),
}


@pytest.mark.parametrize(("words", "period", "count", "adjust", "auto_adjust"), LATEST_WORDS.values(), ids=LATEST_WORDS)
async def test_words_choose_the_download_key_and_title(
    market, command, log_lines, printed, words, period, count, adjust, auto_adjust
):
    market.respond_with(make_history_frame(300))
    yf_period, interval = YF_CHOICE[canonical(period)]
    record = await command()._kline_yfinance(words)
    assert [list(call.kwargs.items()) for call in market.calls] == [
        [("period", yf_period), ("interval", interval), ("auto_adjust", auto_adjust)]
    ]
    assert log_lines == [
        f"INFO|[AAPL] yfinance kline: period={yf_period}, interval={interval}, count={count}, adjust={auto_adjust}"
    ]
    assert list(record) == FRESH_KEYS and record["source"] == "yfinance"
    assert (record["symbol"], record["period"], record["count"], record["adjust"]) == ("AAPL", period, count, adjust)
    assert [title for _, title in printed] == [f"AAPL {period} ({count} bars) [yfinance]"]
    assert cached("count", "AAPL", period, adjust, count) is record["bars"] and cache_size() == 1


@pytest.mark.parametrize(
    ("count", "first_kept"),
    [
        (3, 7),
        (10, 0),
        (50, 0),
        (0, 0),
        (-3, 3),
        (-50, 10),
    ],
    ids=[
        "last-three",
        "exactly-all",
        "more-than-delivered",
        "zero-keeps-all",
        "minus-drops-the-first",
        "minus-beyond-drops-all",
    ],
)
async def test_cut_keeps_the_latest_rows(market, command, printed, count, first_kept):
    hist = make_history_frame(10)
    market.respond_with(hist)
    record = await command()._kline_yfinance(["day", str(count)])
    kept = list(hist.index.tz_localize(None)[first_kept:])
    assert [bar["date"] for bar in record["bars"]] == kept and record["count"] == len(kept)
    ((frame, title),) = printed
    assert list(frame["date"]) == kept and title == f"AAPL day ({len(kept)} bars) [yfinance]"
    assert cached("count", "AAPL", "day", "none", count) is record["bars"]
