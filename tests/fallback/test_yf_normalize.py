"""_normalize_yfinance_df: the library's history frame reshaped into the gateway's bar table."""

import pandas as pd
import pytest

from fixtures.yf import make_history_frame
from quorvane.cmds.quotes.kline import _normalize_yfinance_df
from support.fallback_helpers import BAR_COLUMNS


def with_column_at(frame, position, name, value):
    frame.insert(position, name, value)
    return frame


@pytest.mark.parametrize(
    ("hist", "columns"),
    [
        (make_history_frame(3), BAR_COLUMNS),
        (make_history_frame(3, auto_adjust=False), [*BAR_COLUMNS[:5], "Adj Close", *BAR_COLUMNS[5:]]),
        (make_history_frame(3).drop(columns=["Dividends", "Stock Splits"]), BAR_COLUMNS),
        (
            make_history_frame(3, extra_columns={"Capital Gains": 0.0}),
            [*BAR_COLUMNS[:6], "Capital Gains", *BAR_COLUMNS[6:]],
        ),
        (
            with_column_at(make_history_frame(3), 2, "Repaired?", False),
            [*BAR_COLUMNS[:3], "Repaired?", *BAR_COLUMNS[3:]],
        ),
        (make_history_frame(3, index_name=None), BAR_COLUMNS),
        (make_history_frame(3, index_name="Stamp"), BAR_COLUMNS),
    ],
    ids=[
        "adjusted-download",
        "raw-download-keeps-adj-close",
        "no-dividends-or-splits",
        "extra-column-after-volume",
        "extra-column-keeps-its-place",
        "unnamed-index",
        "oddly-named-index",
    ],
)
def test_columns_take_the_bar_table_names_and_order(hist, columns):
    assert list(_normalize_yfinance_df(hist).columns) == columns


@pytest.mark.parametrize("interval", ["5m", "1d"], ids=["intraday-index", "daily-index"])
def test_zone_aware_times_keep_their_wall_clock_without_zone(interval):
    hist = make_history_frame(4, interval=interval)
    table = _normalize_yfinance_df(hist)
    assert table["date"].dt.tz is None
    assert list(table["date"]) == list(hist.index.tz_localize(None))


def test_plain_calendar_dates_stay_as_they_are():
    hist = make_history_frame(3, tz=None)
    hist.index = pd.Index([stamp.date() for stamp in hist.index], name="Date")
    assert list(_normalize_yfinance_df(hist)["date"]) == list(hist.index)


def test_values_and_column_types():
    hist = make_history_frame(5, auto_adjust=False)
    table = _normalize_yfinance_df(hist)
    assert table["close"].tolist() == table["average"].tolist() == hist["Close"].tolist()
    assert table["volume"].tolist() == hist["Volume"].tolist()
    assert table["barCount"].tolist() == [1] * 5
    assert {name: str(kind) for name, kind in table.dtypes.items() if name != "date"} == {
        "open": "Float64",
        "high": "Float64",
        "low": "Float64",
        "close": "Float64",
        "Adj Close": "Float64",
        "volume": "Int64",
        "average": "Float64",
        "barCount": "Int64",
    }  # convert_dtypes' nullable types
    assert list(hist.columns)[:4] == ["Open", "High", "Low", "Close"]  # the input frame is left alone


@pytest.mark.parametrize("close_type", ["float64", "int64"])
def test_the_table_is_a_frame_of_its_own(close_type):
    hist = make_history_frame(3).astype({"Close": close_type})
    before = hist.copy()
    table = _normalize_yfinance_df(hist)
    table.iloc[:, 1:] = 0  # every column but the dates can be written
    pd.testing.assert_frame_equal(hist, before)


def test_frame_without_close_is_refused():
    with pytest.raises(KeyError):
        _normalize_yfinance_df(make_history_frame(3).drop(columns=["Close"]))
