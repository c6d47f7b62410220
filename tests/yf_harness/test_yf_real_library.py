"""The real yfinance against canned Yahoo answers (`yahoo_http`): what it returns, what it sends."""

import os
import socket
import threading
from datetime import date

import numpy as np
import pandas as pd
import pytest
import yfinance

import quorvane.cmds.quotes.kline as kline
from fixtures.yahoo_charts import ADJ_RATIO, CRUMB, UnexpectedRequest
from fixtures.yf import REFERENCE_TIME, FakeYfinance, library_empty_frame

TAIL = ["Volume", "Dividends", "Stock Splits"]


@pytest.mark.parametrize(
    ("kwargs", "index_name", "columns"),
    [
        (
            {"period": "5d", "interval": "1d", "auto_adjust": False},
            "Date",
            ["Open", "High", "Low", "Close", "Adj Close", *TAIL],
        ),
        ({"period": "5d", "interval": "1d", "auto_adjust": True}, "Date", ["Open", "High", "Low", "Close", *TAIL]),
        (
            {"period": "1d", "interval": "1m", "auto_adjust": False},
            "Datetime",
            ["Open", "High", "Low", "Close", "Adj Close", *TAIL],
        ),
    ],
    ids=["daily-raw", "daily-adjusted", "intraday"],
)
def test_history_has_the_documented_shape(yahoo_http, kwargs, index_name, columns):
    frame = yfinance.Ticker("AAPL").history(**kwargs)
    assert not frame.empty and list(frame.columns) == columns
    assert frame.index.name == index_name and str(frame.index.tz) == "America/New_York"
    assert frame["Volume"].dtype == "int64" and frame["Close"].dtype == "float64"
    if index_name == "Date":
        assert (frame.index == frame.index.normalize()).all()


# Every (period, interval) the kline fallback asks for, plus a date range.
KLINE_REQUESTS = [
    {"period": p, "interval": i}
    for p, i in [
        ("5d", "1m"),
        ("1d", "1m"),
        ("5d", "5m"),
        ("1mo", "15m"),
        ("1mo", "30m"),
        ("6mo", "60m"),
        ("5y", "1d"),
        ("1y", "1d"),
        ("max", "1wk"),
        ("max", "1mo"),
    ]
] + [{"start": date(2025, 1, 6), "end": date(2025, 3, 1), "interval": "1d"}]


@pytest.mark.parametrize("auto_adjust", [False, True], ids=["raw", "adjusted"])
@pytest.mark.parametrize("request_", KLINE_REQUESTS, ids=lambda r: "-".join(map(str, r.values())))
def test_stand_in_answers_exactly_like_the_real_library(yahoo_http, request_, auto_adjust):
    yahoo_http.now = REFERENCE_TIME
    stand_in = FakeYfinance()
    stand_in.now = REFERENCE_TIME
    real = yfinance.Ticker("AAPL").history(**request_, auto_adjust=auto_adjust)
    assert not real.empty
    pd.testing.assert_frame_equal(real, stand_in.Ticker("AAPL").history(**request_, auto_adjust=auto_adjust))


def test_date_range_excludes_the_end_day_and_adjusts(yahoo_http):
    ticker = yfinance.Ticker("MSFT")
    raw = ticker.history(start=date(2025, 1, 6), end=date(2025, 1, 10), interval="1d", auto_adjust=False)
    adjusted = ticker.history(start=date(2025, 1, 6), end=date(2025, 1, 10), interval="1d")
    assert list(raw.index.day) == [6, 7, 8, 9]
    pd.testing.assert_series_equal(adjusted["Close"], raw["Adj Close"], check_names=False)
    assert np.allclose(adjusted["Close"] / raw["Close"], ADJ_RATIO)
    assert {"period1", "period2"} <= set(yahoo_http.chart_requests("MSFT")[-1].params)


@pytest.mark.parametrize(
    "setup",
    [
        lambda server: "NOPE",
        lambda server: server.answer_empty("AAPL") or "AAPL",
    ],
    ids=["unknown-symbol", "no-bars"],
)
def test_no_data_gives_the_library_empty_frame(yahoo_http, setup):
    frame = yfinance.Ticker(setup(yahoo_http)).history(period="5d", interval="1d")
    pd.testing.assert_frame_equal(frame, library_empty_frame(), check_index_type=False)


def test_minute_bars_of_a_long_past_range_are_refused(yahoo_http):
    frame = yfinance.Ticker("AAPL").history(start=date(2020, 1, 2), end=date(2020, 3, 2), interval="1m")
    assert frame.empty


@pytest.mark.parametrize(
    "proxy",
    [{"https": "http://proxy.test:3128", "http": "http://proxy.test:3128"}, "http://proxy.test:3128"],
    ids=["dict", "text"],
)
def test_configured_proxy_reaches_every_request(yahoo_http, proxy):
    assert yfinance.config.network.proxy is None  # the fixture starts from a clean setting
    yfinance.config.network.proxy = proxy
    yfinance.Ticker("AAPL").history(period="5d")
    expected = {"https": "http://proxy.test:3128", "http": "http://proxy.test:3128"}
    assert yahoo_http.requests and all(r.proxies == expected for r in yahoo_http.requests)


async def test_the_modules_download_on_a_worker_thread(yahoo_http, monkeypatch, tmp_path):
    monkeypatch.setenv("HTTPS_PROXY", "http://proxy.test:8080")
    command = kline.IOpKline(ib=None)
    command.symbol = "AAPL"
    frame = await command._yf_history(period="1d", interval="1m", auto_adjust=False)
    assert frame.index.name == "Datetime" and len(frame) > 0
    assert {r.thread_id for r in yahoo_http.requests} != {threading.get_ident()}
    assert all(r.proxies["https"] == "http://proxy.test:8080" for r in yahoo_http.requests)
    assert yahoo_http.chart_requests("AAPL")[-1].params["crumb"] == CRUMB
    assert {"tkr-tz.db", "cookies.db"} <= set(os.listdir(tmp_path / "yfinance-cache"))


def connect_out():
    with socket.socket() as sock:
        sock.connect(("192.0.2.1", 443))


@pytest.mark.parametrize(
    "escape",
    [
        lambda: __import__("curl_cffi").requests.Session().get("https://example.com"),
        lambda: __import__("requests").get("https://example.com"),
        connect_out,
    ],
    ids=["curl-session", "requests", "socket"],
)
def test_real_network_is_refused(yahoo_http, escape):
    with pytest.raises(UnexpectedRequest):
        escape()
    assert len(yahoo_http.unexpected) == 1
    yahoo_http.unexpected.clear()  # seen and expected here; the fixture fails a test otherwise
