"""_intraday_yfinance: today's one-minute curve from yfinance, cached before it is printed."""

import pytest

from quorvane.cmds.quotes import kline
from support.fallback_helpers import cached


async def test_fresh_curve_is_printed_cached_and_marked_yfinance(market, command, log_lines, printed):
    record = await command(["intraday", "extra"])._intraday_yfinance()
    (call,) = market.calls
    assert list(call.kwargs.items()) == [("period", "1d"), ("interval", "1m"), ("auto_adjust", False)]
    assert log_lines == ["INFO|[AAPL] yfinance intraday"]
    assert list(record) == ["symbol", "type", "bars", "source"]
    assert (record["symbol"], record["type"], record["source"]) == ("AAPL", "intraday", "yfinance")
    ((frame, title),) = printed
    assert title == "AAPL Intraday [yfinance]" and len(frame) == len(record["bars"]) == 390  # no cut
    assert cached("intraday", "AAPL") is record["bars"]


async def test_a_failing_printer_leaves_the_curve_cached(market, command, monkeypatch):
    def fail_printing(frame, title):
        raise RuntimeError("terminal gone")

    monkeypatch.setattr(kline, "printFrame", fail_printing)
    with pytest.raises(RuntimeError, match="terminal gone"):
        await command()._intraday_yfinance()
    assert len(cached("intraday", "AAPL")) == 390
