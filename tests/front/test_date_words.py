"""Date words (`_is_date`, `_parse_date`) and dropping time zones (`_strip_tz`)."""

import datetime
import types
from datetime import date

import pandas as pd
import pytest

import quorvane.cmds.quotes.kline as kline


@pytest.mark.parametrize(
    "word, expected",
    [
        ("today", True),
        ("yesterday", True),
        ("2025-01-01", True),
        ("0000-00-00", True),
        ("2025-13-45", True),
        ("Today", False),
        ("YESTERDAY", False),
        ("2025-1-1", False),
        ("2025/01/01", False),
        ("20250101", False),
        ("2025-01-01T10:00", False),
        ("", False),
        (" 2025-01-01", False),
        ("2025-01-01\n", False),
        ("２０２５-01-01", False),  # noqa: RUF001
        ("2025-0１-01", False),  # noqa: RUF001
        ("today ", False),
    ],
    ids=repr,
)
def test_is_date(word, expected):
    assert kline._is_date(word) is expected


@pytest.mark.parametrize("function", [kline._is_date, kline._parse_date], ids=["_is_date", "_parse_date"])
@pytest.mark.parametrize(
    "value", [None, 20250101, b"2025-01-01", date(2025, 1, 1)], ids=["None", "int", "bytes", "date"]
)
def test_date_functions_refuse_non_text(function, value):
    with pytest.raises(TypeError):
        function(value)


@pytest.fixture
def pin_today(monkeypatch):
    """Pins the local date the module reads through its `datetime` global."""

    def pin(today):
        class PinnedDate(date):
            @classmethod
            def today(cls):
                return cls(today.year, today.month, today.day)

        clock = types.SimpleNamespace(date=PinnedDate, timedelta=datetime.timedelta, datetime=datetime.datetime)
        monkeypatch.setattr(kline, "datetime", clock)

    return pin


@pytest.mark.parametrize(
    "today, word, expected",
    [
        (date(2025, 6, 13), "today", date(2025, 6, 13)),
        (date(2025, 6, 13), "yesterday", date(2025, 6, 12)),
        (date(2025, 3, 1), "yesterday", date(2025, 2, 28)),
        (date(2024, 3, 1), "yesterday", date(2024, 2, 29)),
        (date(2025, 1, 1), "yesterday", date(2024, 12, 31)),
        (date(2025, 1, 1), "2024-02-29", date(2024, 2, 29)),
    ],
    ids=["today", "yesterday", "first of March", "first of March, leap year", "first of January", "absolute leap day"],
)
def test_parse_date(pin_today, today, word, expected):
    pin_today(today)
    parsed = kline._parse_date(word)
    assert parsed == expected and isinstance(parsed, date) and not isinstance(parsed, datetime.datetime)


@pytest.mark.parametrize("word", ["2025-02-29", "2025-13-01", "2025-00-10", "2025-04-31", "0000-00-00"])
def test_parse_date_of_no_calendar_date_fails_with_the_readers_message(word):
    with pytest.raises(ValueError) as reader:
        date.fromisoformat(word)
    with pytest.raises(ValueError) as raised:
        kline._parse_date(word)
    assert str(raised.value) == str(reader.value)


def _frame(dates):
    return pd.DataFrame({"date": dates, "close": range(len(dates))})


NEW_YORK_OPEN = pd.to_datetime(["2025-06-13 09:30", "2025-06-13 09:31"]).tz_localize("America/New_York")


def test_strip_tz_keeps_wall_clock_times():
    frame = _frame(NEW_YORK_OPEN)
    assert kline._strip_tz(frame) is frame
    assert frame["date"].dt.tz is None
    assert list(frame["date"]) == list(pd.to_datetime(["2025-06-13 09:30", "2025-06-13 09:31"]))


@pytest.mark.parametrize(
    "frame",
    [
        _frame([date(2025, 6, 12), date(2025, 6, 13)]),
        _frame(["2025-06-12", "2025-06-13"]),
        pd.DataFrame({"close": [1.0, 2.0]}),
        pd.DataFrame(),
    ],
    ids=["calendar dates", "text", "no date column", "empty frame"],
)
def test_strip_tz_leaves_other_frames_unchanged(frame):
    before = frame.copy()
    assert kline._strip_tz(frame) is frame
    pd.testing.assert_frame_equal(frame, before)


def test_strip_tz_lets_interrupts_through():
    class Interrupting(pd.DataFrame):
        def __getitem__(self, key):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kline._strip_tz(Interrupting({"date": NEW_YORK_OPEN}))
