"""Each fallback mode end to end: run without a gateway, the real yfinance, canned Yahoo answers."""

import pandas as pd
import pytest

from fixtures.yf import REFERENCE_TIME
from support.fallback_helpers import BAR_COLUMNS

WITH_ADJ_CLOSE = [*BAR_COLUMNS[:5], "Adj Close", *BAR_COLUMNS[5:]]  # unadjusted downloads keep it

MODES = {
    "latest": (
        ["5m", "200", "adj"],
        {"range": "5d", "interval": "5m"},
        BAR_COLUMNS,
        200,
        "2025-06-11 12:20",
        "2025-06-13 15:55",
    ),
    # The end day is in the range: Yahoo is asked up to the midnight after it.
    "range": (
        ["2025-01-06", "2025-01-10", "day"],
        {"period1": 1736139600, "period2": 1736571600, "interval": "1d"},
        WITH_ADJ_CLOSE,
        5,
        "2025-01-06",
        "2025-01-10",
    ),
    "intraday": (
        ["intraday"],
        {"range": "1d", "interval": "1m"},
        WITH_ADJ_CLOSE,
        390,
        "2025-06-13 09:30",
        "2025-06-13 15:59",
    ),
}


@pytest.mark.parametrize(("words", "chart_query", "columns", "rows", "first", "last"), MODES.values(), ids=MODES)
async def test_mode_through_the_real_library(
    yahoo_http, command, printed, words, chart_query, columns, rows, first, last
):
    yahoo_http.now = REFERENCE_TIME
    record = await command(words).run()
    assert record["source"] == "yfinance"
    bars = record["bars"]
    assert len(bars) == rows and list(bars[0]) == columns
    assert (bars[0]["date"], bars[-1]["date"]) == (pd.Timestamp(first), pd.Timestamp(last))
    chart = yahoo_http.chart_requests("AAPL")[-1]
    assert {name: chart.params.get(name) for name in chart_query} == chart_query
    assert len(printed) == 1


async def test_unknown_symbol_through_the_real_library(yahoo_http, command, log_lines, printed):
    yahoo_http.now = REFERENCE_TIME
    record = await command(["day", "10"], symbol="NOPE").run()
    assert record == {"error": "No data returned", "symbol": "NOPE"}
    assert log_lines[-1] == "ERROR|[NOPE] yfinance returned no data" and printed == []
