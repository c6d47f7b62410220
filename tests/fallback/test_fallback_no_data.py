"""Each fallback mode turns an empty or failed download into its error record and stores nothing."""

import pytest

from support.fallback_helpers import cache_size

MODES = {
    "latest": (
        lambda obj: obj._kline_yfinance(["5m"]),
        {"error": "No data returned", "symbol": "AAPL"},
        ["INFO|[AAPL] yfinance kline: period=5d, interval=5m, count=78, adjust=False"],
        ["ERROR|[AAPL] yfinance returned no data"],
    ),
    "range": (
        lambda obj: obj._history_yfinance(["2025-01-06", "2025-01-10"]),
        {"error": "No data in range", "symbol": "AAPL", "start": "2025-01-06", "end": "2025-01-10"},
        ["INFO|[AAPL] yfinance history: 2025-01-06 → 2025-01-10, interval=1d, adjust=False"],
        [],
    ),
    "intraday": (
        lambda obj: obj._intraday_yfinance(),
        {"error": "No intraday data", "symbol": "AAPL"},
        ["INFO|[AAPL] yfinance intraday"],
        [],
    ),
}
DOWNLOADS = {
    "empty-frame": (lambda yf: yf.empty(), []),
    "failed-download": (lambda yf: yf.raise_(ConnectionError("reset")), ["ERROR|[AAPL] yfinance fetch failed: reset"]),
}


@pytest.mark.parametrize(("program", "adapter_lines"), DOWNLOADS.values(), ids=DOWNLOADS)
@pytest.mark.parametrize(("serve", "expected", "lines_before", "lines_after"), MODES.values(), ids=MODES)
async def test_no_data_gives_the_error_record(
    market, command, log_lines, printed, program, adapter_lines, serve, expected, lines_before, lines_after
):
    program(market)
    record = await serve(command())
    assert list(record.items()) == list(expected.items())
    assert log_lines == [*lines_before, *adapter_lines, *lines_after]
    assert printed == [] and cache_size() == 0
