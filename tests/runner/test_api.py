"""The Python API as a notebook or a script calls it."""

import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from quorvane import api

ROOT = Path(__file__).resolve().parents[2]
RUN_TIMEOUT = 60

TYPES = {
    "open": "float64",
    "high": "float64",
    "low": "float64",
    "close": "float64",
    "volume": "Int64",
    "average": "float64",
    "barCount": "Int64",
}


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


async def test_several_symbols_give_one_frame_by_symbol_and_date_daily_and_intraday(gateway_sim, fresh_cache):
    address = f"127.0.0.1:{gateway_sim.port}"
    daily = await api.kline_async(["AAPL", "msft"], "day", 5, gateway=address)
    assert list(daily) == ["AAPL", "MSFT"] and daily["MSFT"]["timezone"] == "US/Eastern"
    frame = api.bars_frame(daily, tz=True)
    dates = frame.index.get_level_values("date")
    assert frame.index.names == ["symbol", "date"] and len(frame) == 10
    assert str(dates.tz) == "US/Eastern" and (dates == dates.normalize()).all()  # midnight at the exchange
    intraday = api.bars_frame(await api.kline_async("AAPL", "5m", 5, gateway=address), tz=True)
    assert isinstance(intraday.index, pd.DatetimeIndex) and str(intraday.index.tz) == "US/Eastern"
    assert api.bars_frame(daily).index.get_level_values("date").tz is None  # wall-clock unless asked
    for typed in (frame, intraday):
        assert {name: str(kind) for name, kind in typed.dtypes.items()} == TYPES
    mixed = api.bars_frame(await api.kline_async(["AAPL", "/ES"], "5m", 5, gateway=address), tz=True)
    assert str(mixed.index.get_level_values("date").tz) == "UTC"  # two exchanges' zones: one clock


@pytest.mark.parametrize(
    "argv",
    [
        [
            "-c",
            "from quorvane import api; r = api.kline(['AAPL', 'NOSUCH'], 'day', 5); assert len(r['AAPL']['bars']) == 5"
            " and 'error' in r['NOSUCH']",
        ],
        [str(ROOT / "examples" / "watchlist.py"), "--sim"],
    ],
    ids=["library-call", "example-script"],
)
def test_used_as_a_library_nothing_is_printed_but_the_callers_own_lines(runner_env, tmp_path, argv):
    run = subprocess.run(
        [sys.executable, *argv],
        env={**runner_env, "YF_UNLISTED": "NOSUCH"},
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=RUN_TIMEOUT,
    )
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert run.stdout == "" if argv[0] == "-c" else "AAPL: 60 bars from ibkr" in run.stdout


def test_frame_of_an_error_record_is_refused():
    with pytest.raises(ValueError, match="No data returned"):
        api.bars_frame({"error": "No data returned"})


@pytest.mark.parametrize("words", [("5min", 100), ("day", 0), ("2025-02-30",)], ids=str)
def test_words_the_command_would_mistake_raise(words, fake_yf):
    with pytest.raises(ValueError, match=r"did you mean 5m|1 or more|no calendar date"):
        api.kline("AAPL", *words)
    assert not fake_yf.calls
