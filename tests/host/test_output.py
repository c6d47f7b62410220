import json
import math
from datetime import date, datetime

import numpy as np
import pandas as pd
import pytest

from quorvane import chart
from quorvane.output import jsonable, record_json, record_title, summary


@pytest.mark.parametrize(
    "value, expected",
    [
        (pd.Timestamp("2025-01-02 09:30"), "2025-01-02T09:30:00"),
        (datetime(2025, 1, 2, 9, 30), "2025-01-02T09:30:00"),
        (date(2025, 1, 2), "2025-01-02"),
        (pd.NaT, None),
        (pd.NA, None),
        (math.nan, None),
        (math.inf, None),
        (np.float64("nan"), None),
        (np.int64(7), 7),
        (np.float32(1.5), 1.5),
        (True, True),
    ],
    ids=["timestamp", "datetime", "date", "NaT", "NA", "nan", "inf", "numpy-nan", "numpy-int", "numpy-float", "bool"],
)
def test_json_values(value, expected):
    assert jsonable({"v": [value]}) == {"v": [expected]}


def test_record_json_is_strict_json():
    bars = pd.DataFrame({"date": pd.to_datetime(["2025-01-02", "2025-01-03"]), "close": [1.5, np.nan]})
    bars["volume"] = pd.array([100, None], dtype="Int64")
    text = record_json({"symbol": "AAPL", "bars": bars.to_dict(orient="records")})
    assert json.loads(text)["bars"][1] == {"date": "2025-01-03T00:00:00", "close": None, "volume": None}


@pytest.mark.parametrize(
    "record, title",
    [
        ({"symbol": "AAPL", "period": "day", "count": 2, "adjust": "none", "bars": [{}, {}]}, "AAPL day (2 bars)"),
        ({"symbol": "AAPL", "period": "5m", "adjust": "adj", "bars": [{}]}, "AAPL 5m (1 bars) adj"),
        ({"symbol": "/ES", "period": "day", "start": "2025-01-01", "end": "2025-06-01", "adjust": "none", "bars": []},
         "/ES 2025-01-01..2025-06-01 day (0 bars)"),
        ({"symbol": "AAPL", "type": "intraday", "bars": [{}], "source": "cache"}, "AAPL intraday (1 bars)"),
    ],
    ids=["latest", "adjusted", "date-range", "intraday"],
)  # fmt: skip
def test_record_title(record, title):
    assert record_title(record) == title


@pytest.mark.parametrize(
    "record, line",
    [
        ({"symbol": "AAPL", "bars": [{}], "cached": True, "source": "ibkr"}, "kline AAPL: 1 bars (ibkr, cache)"),
        ({"symbol": "AAPL", "bars": [{}], "source": "cache"}, "kline AAPL: 1 bars (cache)"),
        ({"symbol": "AAPL", "bars": [{}], "source": "yfinance"}, "kline AAPL: 1 bars (yfinance)"),
    ],
    ids=["gateway-cache-hit", "intraday-cache-hit", "fallback"],
)
def test_summary_names_where_bars_came_from(record, line):
    assert summary(["kline", "aapl"], record) == line


def _bars(n, start="2025-01-02", freq="B"):
    times = pd.date_range(start, periods=n, freq=freq)
    return [{"date": t.date() if freq == "B" else t, "open": 10.0 + i, "high": 11.0 + i, "low": 9.0 + i,
             "close": 10.5 + i, "volume": 1000 + i} for i, t in enumerate(times)]  # fmt: skip


@pytest.mark.parametrize(
    "bars, error",
    [([], "bars lack date"), ([{"date": date(2025, 1, 2), "open": None, "high": None, "low": None, "close": None}],
                              "no bar has prices")],
    ids=["no-bars", "no-prices"],
)
def test_chart_refuses_bars_it_cannot_draw(bars, error):
    with pytest.raises(ValueError, match=error):
        chart.ohlcv_frame({"bars": bars})


@pytest.mark.parametrize(
    "bars, first_label, last_label",
    [(_bars(30), "2025-01-02", "2025-02-12"), (_bars(60, "2025-01-02 09:30", "min"), "09:30", "10:29")],
    ids=["daily-dates", "intraday-times"],
)
def test_terminal_chart_has_title_span_and_axis_dates(bars, first_label, last_label):
    text = chart.terminal_chart({"symbol": "AAPL", "period": "day", "bars": bars}, width=100, height=24)
    lines = text.splitlines()
    assert len(lines) == 24 and all(len(line) <= 100 for line in lines)
    assert lines[0].strip().startswith(f"AAPL day ({len(bars)} bars)")
    assert first_label in lines[-1] and last_label in lines[-1] and "volume" in text
