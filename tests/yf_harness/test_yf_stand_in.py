"""The stand-in yfinance module: what code doing `import yfinance` meets under `fake_yf`."""

import asyncio
import importlib
import inspect
import threading
from datetime import date

import pandas as pd
import pytest

from fixtures.yf import REFERENCE_TIME, make_history_frame


def yfinance():
    return importlib.import_module("yfinance")


@pytest.mark.parametrize(
    ("period", "interval", "rows", "first", "last"),
    [
        ("1d", "1m", 390, "2025-06-13 09:30", "2025-06-13 15:59"),
        ("5d", "5m", 390, "2025-06-09 09:30", "2025-06-13 15:55"),
        ("5d", "1d", 5, "2025-06-09", "2025-06-13"),
        ("1y", "1wk", 52, "2024-06-17", "2025-06-09"),
        ("max", "1mo", 306, "2000-01-03", "2025-06-02"),
    ],
    ids=["today-by-minute", "five-sessions-by-5m", "five-sessions-daily", "year-weekly", "max-monthly"],
)
def test_period_sets_the_window_up_to_now(fake_yf, period, interval, rows, first, last):
    fake_yf.now = REFERENCE_TIME
    frame = yfinance().Ticker("AAPL").history(period=period, interval=interval, auto_adjust=True)
    assert len(frame) == rows
    wall = frame.index.tz_localize(None)
    assert (wall[0], wall[-1]) == (pd.Timestamp(first), pd.Timestamp(last))


@pytest.mark.parametrize(
    ("start", "end"),
    [
        (date(2025, 1, 6), date(2025, 1, 10)),
        ("2025-01-06", "2025-01-10"),
    ],
    ids=["dates", "texts"],
)
def test_start_end_range_excludes_the_end_day(fake_yf, start, end):
    frame = yfinance().Ticker("AAPL").history(start=start, end=end, interval="1d", auto_adjust=False)
    assert list(frame.index.day) == [6, 7, 8, 9]
    assert str(frame.index.tz) == "America/New_York" and "Adj Close" in frame


async def test_calls_are_recorded_with_thread_and_proxy(fake_yf):
    def fetch():
        yf = yfinance()
        yf.config.network.proxy = {"https": "http://p:1", "http": "http://p:1"}
        return yf.Ticker("aapl").history(period="1d", interval="1m", auto_adjust=False)

    await asyncio.to_thread(fetch)
    yfinance().Ticker("MSFT").history(period="5d")
    worker, on_loop = fake_yf.calls
    assert (worker.symbol, worker.kwargs) == ("aapl", {"period": "1d", "interval": "1m", "auto_adjust": False})
    assert worker.thread_id != threading.get_ident() and not worker.in_event_loop
    assert worker.proxy == {"https": "http://p:1", "http": "http://p:1"}
    assert on_loop.thread_id == threading.get_ident() and on_loop.in_event_loop
    assert fake_yf.proxy_assignments == [worker.proxy]


def test_programmed_answers_play_in_order_and_the_last_repeats(fake_yf):
    first, second = make_history_frame(3), make_history_frame(5)
    fake_yf.respond_with(first, second)
    ticker = yfinance().Ticker("AAPL")
    assert [len(ticker.history(period="1mo")) for _ in range(3)] == [3, 5, 5]
    fake_yf.raise_(ConnectionError("down"))
    with pytest.raises(ConnectionError):
        ticker.history(period="1mo")


@pytest.mark.parametrize("interval", ["1m", "1d"])
def test_empty_answer_keeps_the_shape(fake_yf, interval):
    full = yfinance().Ticker("AAPL").history(period="5d", interval=interval)
    fake_yf.empty()
    empty = yfinance().Ticker("AAPL").history(period="5d", interval=interval)
    assert empty.empty and empty.dtypes.equals(full.dtypes) and empty.index.name == full.index.name


def test_unknown_keyword_fails_like_the_library_and_is_still_recorded(fake_yf):
    with pytest.raises(TypeError):
        yfinance().Ticker("AAPL").history(period="1d", proxy="http://p:1")
    assert fake_yf.calls[0].kwargs == {"period": "1d", "proxy": "http://p:1"}


def test_history_keywords_are_the_real_ones():
    from yfinance.scrapers.history import PriceHistory

    from fixtures.yf import _HISTORY_SIGNATURE

    real = list(inspect.signature(PriceHistory.history).parameters)[1:]
    assert list(_HISTORY_SIGNATURE.parameters) == real


def test_missing_library_fails_the_import(yfinance_missing):
    with pytest.raises(ImportError):
        import yfinance  # noqa: F401


@pytest.mark.parametrize(
    ("options", "index_name", "zone"),
    [
        ({"interval": "5m"}, "Datetime", "America/New_York"),
        ({"interval": "1wk", "tz": "Europe/London"}, "Date", "Europe/London"),
        ({"tz": None}, "Date", None),
        ({"index_name": None}, None, "America/New_York"),
    ],
    ids=["intraday", "other-zone", "naive", "unnamed-index"],
)
def test_made_frames_take_the_requested_form(options, index_name, zone):
    frame = make_history_frame(40, **options)
    assert len(frame) == 40 and frame.index.is_monotonic_increasing
    assert frame.index.name == index_name and (str(frame.index.tz) if frame.index.tz else None) == zone


def test_made_frame_puts_extra_columns_last():
    frame = make_history_frame(3, auto_adjust=False, extra_columns={"Capital Gains": 0.0})
    assert list(frame.columns) == [
        "Open",
        "High",
        "Low",
        "Close",
        "Adj Close",
        "Volume",
        "Dividends",
        "Stock Splits",
        "Capital Gains",
    ]
