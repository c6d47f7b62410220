"""kline <symbol> intraday over the simulated gateway."""

import pandas as pd
import pytest

from support.gateway_terminal import BAR_FIELDS, sent


@pytest.mark.parametrize("words", ["intraday", "intraday 5m 200 adj"], ids=["intraday", "later-words-ignored"])
async def test_todays_minutes_are_fetched_printed_and_cached(terminal, words):
    result = await terminal.run(f"AAPL {words}")
    assert [sent(r) for r in terminal.requests] == [("STK", "AAPL", "", "1 D", "1 min", "TRADES", True, False)]
    assert terminal.logs[0] == "INFO|[AAPL] intraday"
    assert terminal.titles == ["AAPL Intraday"]
    assert list(result) == ["symbol", "type", "bars", "source"]
    assert (result["symbol"], result["type"], result["source"]) == ("AAPL", "intraday", "ibkr")
    bars = result["bars"]
    assert len(bars) == len(terminal.prints[0][0]) == 390  # a whole session of minutes
    assert list(bars[0]) == BAR_FIELDS
    # Exchange wall-clock time, without a zone.
    assert (bars[0]["date"], bars[-1]["date"]) == (pd.Timestamp("2025-06-13 09:30"), pd.Timestamp("2025-06-13 15:59"))
    assert terminal.cached("intraday_key", "AAPL") is bars
