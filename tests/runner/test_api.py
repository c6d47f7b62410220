"""The Python API as a notebook or a script calls it."""

import pandas as pd
import pytest

from quorvane import api


def test_call_without_a_gateway_serves_public_data_quietly(fake_yf, fresh_cache, capsys):
    record = api.kline("AAPL", "day", 5)
    assert (record["symbol"], record["count"], record["source"], len(record["bars"])) == ("AAPL", 5, "yfinance", 5)
    assert capsys.readouterr().out == ""  # data, not printouts
    frame = api.bars_frame(record)
    assert isinstance(frame.index, pd.DatetimeIndex) and frame.index.name == "date" and frame.index.tz is None
    assert {"open", "high", "low", "close", "volume"} <= set(frame.columns) and frame.index.is_monotonic_increasing
    with pytest.raises(ValueError, match="names no time zone"):  # daily bars are dates
        api.bars_frame(record, tz=True)


async def test_async_call_through_the_gateway_shares_the_runners_cache(gateway_sim, fresh_cache, ib):
    first = await api.kline_async("AAPL", "5m", 20, gateway=f"127.0.0.1:{gateway_sim.port}")
    again = await api.kline_async("AAPL", "5m", 20, gateway=ib)  # an ib_async connection of the caller's
    assert (first["source"], first["timezone"], len(first["bars"])) == ("ibkr", "US/Eastern", 20)
    assert again["cached"] is True and len(gateway_sim.history_requests) == 1
    assert ib.isConnected()  # the caller's connection stays open
    frame = api.bars_frame(first, tz=True)
    assert str(frame.index.tz) == "US/Eastern" and frame.index[-1].hour < 17


async def test_blocking_call_inside_a_running_loop_says_what_to_use():
    with pytest.raises(RuntimeError, match="await kline_async"):
        api.kline("AAPL")


def test_frame_of_an_error_record_is_refused():
    with pytest.raises(ValueError, match="No data returned"):
        api.bars_frame({"error": "No data returned"})


@pytest.mark.parametrize("words", [("5min", 100), ("day", 0), ("2025-02-30",)], ids=str)
def test_words_the_command_would_mistake_raise(words, fake_yf):
    with pytest.raises(ValueError, match=r"did you mean 5m|1 or more|no calendar date"):
        api.kline("AAPL", *words)
    assert not fake_yf.calls
