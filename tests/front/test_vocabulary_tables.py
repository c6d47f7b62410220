"""The period/count/duration vocabulary: constant tables, `_is_period`, `_calc_duration`."""

import math
from decimal import Decimal
from fractions import Fraction

import pytest

import quorvane.cmds.quotes.kline as kline

CANONICAL = ["1m", "5m", "15m", "30m", "1h", "day", "week", "month", "year"]


def test_the_vocabulary_tables_agree():
    """The host builds its word checks and usage text from these tables, in this order."""
    assert list(kline.PERIOD_DEFAULT_COUNT) == list(kline.YF_PERIOD) == list(kline.YF_INTERVAL) == CANONICAL
    assert set(CANONICAL) <= set(kline.PERIOD_MAP)
    assert all(kline.BAR_SECONDS[size] > 0 for size in kline.PERIOD_MAP.values())
    assert all(type(count) is int for count in kline.PERIOD_DEFAULT_COUNT.values())
    assert {"adj", "forward"} == kline.ADJUST_KEYWORDS


@pytest.mark.parametrize(
    "word, expected",
    [
        ("m", True),
        ("1d", True),
        ("1mo", True),
        ("minute", True),
        ("year", True),
        ("Day", False),
        ("DAY", False),
        ("2h", False),
        ("1y", False),
        ("", False),
        ("day ", False),
        ("intraday", False),
    ],
)
def test_is_period(word, expected):
    assert kline._is_period(word) is expected


@pytest.mark.parametrize("value", [None, 1, b"day", ["day"]], ids=["None", "int", "bytes", "list"])
def test_is_period_refuses_non_text(value):
    with pytest.raises(TypeError):
        kline._is_period(value)


@pytest.mark.parametrize(
    "days, text",
    [
        (1, "1 D"),
        (365, "365 D"),
        (366, "2 Y"),
        (730, "2 Y"),
        (731, "3 Y"),
        (0, "0 D"),
        (-3, "-3 D"),
        (365.9, "365 D"),
        (366.5, "2 Y"),
        (-0.5, "0 D"),
        (-3.7, "-3 D"),
        (True, "1 D"),
        (Fraction(7, 2), "3 D"),
        (Decimal("730.9"), "2 Y"),
        (-(10**30), f"{-(10**30)} D"),
        (10**30, f"{math.ceil(10**30 / 365)} Y"),  # real division, as the year count is defined
        # the spans a latest-candles request reaches with the default counts
        (math.ceil(250 * 86400 * 1.4 / 86400), "350 D"),
        (math.ceil(156 * 604800 * 1.02 / 86400), "4 Y"),
        (math.ceil(60 * 2592000 / 86400), "5 Y"),
        (math.ceil(120 * 2592000 / 86400), "10 Y"),
    ],
    ids=str,
)
def test_calc_duration(days, text):
    assert kline._calc_duration(days) == text


@pytest.mark.parametrize(
    "value, error",
    [
        (float("inf"), OverflowError),
        (float("nan"), ValueError),
        (10**400, OverflowError),
        ("5", TypeError),
        (None, TypeError),
        (1 + 2j, TypeError),
    ],
    ids=["inf", "nan", "too large for float division", "text", "None", "complex"],
)
def test_calc_duration_refuses(value, error):
    with pytest.raises(error):
        kline._calc_duration(value)
