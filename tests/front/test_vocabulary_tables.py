"""The period/count/duration vocabulary: constant tables, `_is_period`, `_calc_duration`."""
import math
from decimal import Decimal
from fractions import Fraction

import pytest

import quorvane.cmds.quotes.kline as kline

CANONICAL = ["1m", "5m", "15m", "30m", "1h", "day", "week", "month", "year"]

TABLES = {
    "PERIOD_MAP": [
        ("1m", "1 min"), ("5m", "5 mins"), ("15m", "15 mins"), ("30m", "30 mins"), ("1h", "1 hour"),
        ("day", "1 day"), ("week", "1 week"), ("month", "1 month"), ("year", "1 month"),
        ("minute", "1 min"), ("hour", "1 hour"), ("d", "1 day"), ("w", "1 week"), ("m", "1 month"),
        ("y", "1 month"), ("1d", "1 day"), ("1mo", "1 month")],
    "BAR_SECONDS": [
        ("1 secs", 1), ("1 min", 60), ("5 mins", 300), ("15 mins", 900), ("30 mins", 1800),
        ("1 hour", 3600), ("1 day", 86400), ("1 week", 604800), ("1 month", 2592000)],
    "PERIOD_DEFAULT_COUNT": list(zip(CANONICAL, [120, 78, 130, 130, 130, 250, 156, 60, 120], strict=True)),
    "DURATION_FACTOR": [("day", 1.4), ("week", 1.02)],
    "YF_PERIOD": list(zip(CANONICAL, ["5d", "5d", "1mo", "1mo", "6mo", "5y", "max", "max", "max"], strict=True)),
    "YF_INTERVAL": list(zip(CANONICAL, ["1m", "5m", "15m", "30m", "60m", "1d", "1wk", "1mo", "1mo"], strict=True)),
}


@pytest.mark.parametrize("name, entries", TABLES.items(), ids=TABLES.keys())
def test_table_contents_and_order(name, entries):
    table = getattr(kline, name)
    assert type(table) is dict and list(table.items()) == entries
    assert all(type(value) is type(expected) for value, (_, expected) in zip(table.values(), entries, strict=True))


def test_adjust_keywords():
    assert {"adj", "forward"} == kline.ADJUST_KEYWORDS


@pytest.mark.parametrize("word, expected", [
    ("m", True), ("1d", True), ("1mo", True), ("minute", True), ("year", True),
    ("Day", False), ("DAY", False), ("2h", False), ("1y", False), ("", False), ("day ", False),
    ("intraday", False),
])
def test_is_period(word, expected):
    assert kline._is_period(word) is expected


@pytest.mark.parametrize("value", [None, 1, b"day", ["day"]], ids=["None", "int", "bytes", "list"])
def test_is_period_refuses_non_text(value):
    with pytest.raises(TypeError):
        kline._is_period(value)


@pytest.mark.parametrize("days, text", [
    (1, "1 D"), (365, "365 D"), (366, "2 Y"), (730, "2 Y"), (731, "3 Y"), (0, "0 D"), (-3, "-3 D"),
    (365.9, "365 D"), (366.5, "2 Y"), (-0.5, "0 D"), (-3.7, "-3 D"), (True, "1 D"),
    (Fraction(7, 2), "3 D"), (Decimal("730.9"), "2 Y"), (-10**30, f"{-10**30} D"),
    (10**30, f"{math.ceil(10**30 / 365)} Y"),  # real division, as the year count is defined
    # the spans a latest-candles request reaches with the default counts
    (math.ceil(250 * 86400 * 1.4 / 86400), "350 D"), (math.ceil(156 * 604800 * 1.02 / 86400), "4 Y"),
    (math.ceil(60 * 2592000 / 86400), "5 Y"), (math.ceil(120 * 2592000 / 86400), "10 Y"),
], ids=str)
def test_calc_duration(days, text):
    assert kline._calc_duration(days) == text


@pytest.mark.parametrize("value, error", [
    (float("inf"), OverflowError), (float("nan"), ValueError), (10**400, OverflowError),
    ("5", TypeError), (None, TypeError), (1 + 2j, TypeError),
], ids=["inf", "nan", "too large for float division", "text", "None", "complex"])
def test_calc_duration_refuses(value, error):
    with pytest.raises(error):
        kline._calc_duration(value)
