import json
import math
import re
from datetime import date, datetime

import numpy as np
import pandas as pd
import pytest

from quorvane import candles, chart
from quorvane.records import jsonable, record_json, record_title, summary


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
        (
            {
                "symbol": "/ES",
                "period": "day",
                "start": "2025-01-01",
                "end": "2025-06-01",
                "adjust": "none",
                "bars": [],
            },
            "/ES 2025-01-01..2025-06-01 day (0 bars)",
        ),
        ({"symbol": "AAPL", "type": "intraday", "bars": [{}], "source": "cache"}, "AAPL intraday (1 bars)"),
    ],
    ids=["latest", "adjusted", "date-range", "intraday"],
)
def test_record_title(record, title):
    assert record_title(record) == title


@pytest.mark.parametrize(
    "record, line",
    [
        ({"symbol": "AAPL", "bars": [{}], "cached": True, "source": "ibkr"}, "kline AAPL: 1 bars (ibkr, cache)"),
        ({"symbol": "AAPL", "bars": [{}], "source": "cache"}, "kline AAPL: 1 bars (cache)"),
        (
            {"symbol": "AAPL", "bars": [{}] * 78, "count": 78, "requested": 200, "source": "yfinance"},
            "kline AAPL: 78 of 200 bars (yfinance)",
        ),
        (
            {"symbol": "AAPL", "bars": [{}] * 5, "count": 5, "source": "ibkr", "timezone": "America/New_York"},
            "kline AAPL: 5 bars (ibkr), times in America/New_York",
        ),
    ],
    ids=["gateway-cache-hit", "intraday-cache-hit", "short-answer", "zone-known"],
)
def test_summary_says_how_many_bars_from_where_in_which_zone(record, line):
    assert summary(["kline", "aapl"], record) == line


def _bars(n, start="2025-01-02", freq="B"):
    times = pd.date_range(start, periods=n, freq=freq)
    return [
        {
            "date": t.date() if freq == "B" else t,
            "open": 10.0 + i,
            "high": 11.0 + i,
            "low": 9.0 + i,
            "close": 10.5 + i,
            "volume": 1000 + i,
        }
        for i, t in enumerate(times)
    ]


@pytest.mark.parametrize(
    "bars, error",
    [
        ([], "bars lack date"),
        ([{"date": date(2025, 1, 2), "open": None, "high": None, "low": None, "close": None}], "no bar has prices"),
    ],
    ids=["no-bars", "no-prices"],
)
def test_chart_refuses_bars_it_cannot_draw(bars, error):
    with pytest.raises(ValueError, match=error):
        chart.ohlcv_frame({"bars": bars})


def _session_minutes(days: int, early_close: int = 3) -> list[dict]:
    """One-minute bars of `days` sessions 09:30-16:00, the `early_close`-th closing at 13:00."""
    bars = []
    for n, day in enumerate(pd.bdate_range("2025-11-03", periods=days)):
        close = "13:00:00" if n == early_close else "16:00:00"
        for t in pd.date_range(day + pd.Timedelta("09:30:00"), day + pd.Timedelta(close), freq="min", inclusive="left"):
            i = len(bars)
            bars.append({"date": t, "open": 10.0 + i, "high": 11.0 + i, "low": 9.0 + i, "close": 10.5 + i, "volume": 1})
    return bars


@pytest.mark.parametrize(
    "days, limit, unit", [(2, 200, "5 min"), (30, 250, "1 h"), (30, 55, "1 session"), (110, 55, "1 week")]
)
def test_merged_candles_never_span_two_sessions(days, limit, unit):
    frame = chart.ohlcv_frame({"bars": _session_minutes(days)})
    fitted = candles.fit(frame, limit)
    assert fitted.unit == unit and len(fitted.frame) <= limit
    sessions = candles.session_ids(frame.index)
    starts = frame.index.get_indexer(fitted.frame.index)
    ends = np.append(starts[1:], len(frame)) - 1
    if unit.endswith(("min", "h")):
        assert (sessions[starts] == sessions[ends]).all()  # within one session
        opened = [i for i in range(1, len(starts)) if sessions[starts[i]] != sessions[ends[i - 1]]]
        assert fitted.session_starts == opened
    else:
        assert (sessions[starts[1:]] != sessions[starts[1:] - 1]).all()  # each candle opens a session
    first = fitted.frame.iloc[0]
    assert first["Open"] == frame["Open"].iloc[0] and first["Close"] == frame["Close"].iloc[ends[0]]
    assert first["High"] == frame["High"].iloc[: ends[0] + 1].max() and first["Volume"] == ends[0] + 1


def test_a_market_trading_around_the_clock_has_a_session_a_day():
    index = pd.date_range("2025-01-01", periods=24 * 3, freq="h")
    assert candles.session_ids(index).tolist() == [0] * 24 + [1] * 24 + [2] * 24


@pytest.mark.parametrize(
    "start, freq, n, label",
    [
        ("2025-01-02 09:30", "min", 300, r"\d\d:\d\d"),
        ("2025-01-02 09:30", "h", 300, r"[A-Z][a-z]{2} \d\d"),
        ("2025-01-02", "B", 60, r"[A-Z][a-z]{2} \d\d"),
        ("2023-06-01", "B", 500, r"[A-Z][a-z]{2} 20\d\d"),
        ("2012-01-02", "B", 3000, r"20\d\d"),
    ],
    ids=["times-within-a-day", "dates-across-days", "daily-dates", "months-across-years", "years"],
)
def test_time_axis_labels_suit_the_span_and_stay_apart(start, freq, n, label):
    record = {"symbol": "AAPL", "period": "1h", "bars": _bars(n, start, freq)}
    text = chart.terminal_chart(record, width=100, height=24)
    lines = text.splitlines()
    assert len(lines) == 24 and all(len(line) <= 100 for line in lines)
    labels = re.split(r" {2,}", lines[-1].strip())
    assert len(labels) >= 2 and all(re.fullmatch(label, text) for text in labels), labels


def test_terminal_chart_of_40000_bars_fits_the_width_and_says_what_it_shows():
    record = {
        "symbol": "AAPL",
        "period": "1m",
        "source": "ibkr",
        "timezone": "US/Eastern",
        "bars": _session_minutes(103),
    }
    text = chart.terminal_chart(record, width=120, height=30)
    candle_rows = [line for line in text.splitlines() if "┤" in line or line.lstrip().startswith("│")]
    columns = {i for line in candle_rows[:8] for i, ch in enumerate(line[:-1]) if ch in "█│" and i > line.find("┤")}
    assert 0 < len(columns) <= (120 - chart.Y_LABEL_WIDTH - 2) // chart.CANDLE_COLUMNS
    assert "AAPL 1m (39990 bars)  2025-11-03 .. 2026-03-25  ibkr  US/Eastern" in text  # what, span, source, zone
    assert "1 candle = 1 week" in text


def test_volume_sits_under_its_candle_in_its_colour():
    bars = _bars(6)
    bars[2]["close"] = bars[2]["open"] - 1  # one falling candle
    text = chart.terminal_chart({"symbol": "AAPL", "period": "day", "bars": bars}, width=60, height=20, color=True)
    import plotext

    plain = plotext.uncolorize(text).splitlines()
    volume_at = [i for i, ch in enumerate(plain[-3]) if ch == "█"]
    wick_at = sorted({i for line in plain[2:10] for i, ch in enumerate(line) if ch == "█"})
    assert volume_at == wick_at and len(volume_at) == 6
    assert "\x1b[38;5;1m" in text and "\x1b[38;5;2m" in text  # down and up colours


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF")])
def test_chart_file_format_follows_its_extension(tmp_path, suffix, magic):
    path = tmp_path / f"chart{suffix.upper()}"
    chart.save_chart({"symbol": "AAPL", "period": "day", "bars": _bars(30)}, str(path))
    assert path.read_bytes().startswith(magic)


def test_chart_file_of_unknown_format_is_refused(tmp_path):
    with pytest.raises(ValueError, match=r"name a \.png, \.svg or \.pdf file"):
        chart.save_chart({"symbol": "AAPL", "bars": _bars(3)}, str(tmp_path / "chart.jpg"))
    assert not list(tmp_path.iterdir())
