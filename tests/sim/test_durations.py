"""What a duration covers: sessions for daily bars, trading time for intraday, calendar spans."""

import datetime as dt
from zoneinfo import ZoneInfo

import pytest
from ib_async import ContFuture, Stock

UTC, EASTERN, CENTRAL = dt.UTC, ZoneInfo("US/Eastern"), ZoneInfo("US/Central")
AAPL = Stock("AAPL", "SMART", "USD")
ES = ContFuture("ES", "CME")
WEDNESDAY_1300_ET = dt.datetime(2025, 3, 5, 18, 0, tzinfo=UTC)
WEDNESDAY_1000_ET = dt.datetime(2025, 3, 5, 15, 0, tzinfo=UTC)
BLACK_FRIDAY_CLOSE = dt.datetime(2025, 11, 28, 21, 0, tzinfo=UTC)
# NYSE closures from 2024-03-06 to 2025-03-05, the day of mourning of 2025-01-09 among them.
NYSE_CLOSED = {
    dt.date(2024, 3, 29),
    dt.date(2024, 5, 27),
    dt.date(2024, 6, 19),
    dt.date(2024, 7, 4),
    dt.date(2024, 9, 2),
    dt.date(2024, 11, 28),
    dt.date(2024, 12, 25),
    dt.date(2025, 1, 1),
    dt.date(2025, 1, 9),
    dt.date(2025, 1, 20),
    dt.date(2025, 2, 17),
    dt.date(2025, 11, 27),
}


def et(*args) -> dt.datetime:
    return dt.datetime(*args, tzinfo=EASTERN)


def calendar_date(when: dt.date | dt.datetime) -> dt.date:
    return when.date() if isinstance(when, dt.datetime) else when


@pytest.mark.parametrize(
    "now, contract, duration, size, rth, count, first, last",
    [
        (
            dt.datetime(2023, 6, 27, 21, 0, tzinfo=UTC),
            AAPL,
            "7 D",
            "1 day",
            True,
            7,
            dt.date(2023, 6, 16),
            dt.date(2023, 6, 27),
        ),
        (
            dt.datetime(2025, 3, 5, 13, 0, tzinfo=UTC),
            AAPL,
            "2 D",
            "1 day",
            True,
            2,
            dt.date(2025, 3, 3),
            dt.date(2025, 3, 4),
        ),
        (BLACK_FRIDAY_CLOSE, AAPL, "5 D", "1 day", True, 5, dt.date(2025, 11, 21), dt.date(2025, 11, 28)),
        (
            dt.datetime(2026, 12, 28, 22, 0, tzinfo=UTC),
            AAPL,
            "3 D",
            "1 day",
            True,
            3,
            dt.date(2026, 12, 23),
            dt.date(2026, 12, 28),
        ),
        (WEDNESDAY_1300_ET, AAPL, "1 D", "5 mins", True, 78, et(2025, 3, 4, 13, 0), et(2025, 3, 5, 12, 55)),
        (WEDNESDAY_1300_ET, AAPL, "3 D", "5 mins", True, 234, et(2025, 2, 28, 13, 0), et(2025, 3, 5, 12, 55)),
        (WEDNESDAY_1300_ET, AAPL, "1 D", "5 mins", False, 78, et(2025, 3, 5, 6, 30), et(2025, 3, 5, 12, 55)),
        (WEDNESDAY_1300_ET, AAPL, "86400 S", "1 hour", True, 26, et(2025, 2, 27, 15, 0), et(2025, 3, 5, 12, 0)),
        (WEDNESDAY_1300_ET, AAPL, "600 S", "1 min", True, 10, et(2025, 3, 5, 12, 50), et(2025, 3, 5, 12, 59)),
        (BLACK_FRIDAY_CLOSE, AAPL, "1 D", "1 min", True, 390, et(2025, 11, 26, 13, 0), et(2025, 11, 28, 12, 59)),
        (
            WEDNESDAY_1000_ET,
            ES,
            "1 D",
            "30 mins",
            True,
            14,
            dt.datetime(2025, 3, 4, 9, 0, tzinfo=CENTRAL),
            dt.datetime(2025, 3, 5, 8, 30, tzinfo=CENTRAL),
        ),
        (
            WEDNESDAY_1000_ET,
            ES,
            "1 D",
            "1 hour",
            False,
            6,
            dt.datetime(2025, 3, 5, 3, 0, tzinfo=CENTRAL),
            dt.datetime(2025, 3, 5, 8, 0, tzinfo=CENTRAL),
        ),
        (WEDNESDAY_1000_ET, AAPL, "2 W", "1 day", True, 10, dt.date(2025, 2, 20), dt.date(2025, 3, 5)),
        (WEDNESDAY_1000_ET, AAPL, "1 M", "1 day", True, 19, dt.date(2025, 2, 6), dt.date(2025, 3, 5)),
        (WEDNESDAY_1000_ET, AAPL, "1 Y", "1 day", True, 250, dt.date(2024, 3, 6), dt.date(2025, 3, 5)),
        (WEDNESDAY_1000_ET, AAPL, "1 W", "1 hour", True, 29, et(2025, 2, 27, 9, 30), et(2025, 3, 5, 9, 30)),
    ],
    ids=[
        "daily-days-are-sessions-skipping-juneteenth",
        "daily-before-the-bell",
        "daily-skips-thanksgiving",
        "daily-skips-christmas",
        "intraday-day-reaches-into-the-session-before",
        "intraday-three-days",
        "all-hours-day-is-a-regular-session-long",
        "seconds-are-trading-seconds",
        "seconds-within-the-session",
        "early-close-shortens-the-session",
        "future-day-is-its-own-regular-session",
        "future-all-hours",
        "weeks-are-calendar-weeks",
        "months-are-calendar-months",
        "years-are-calendar-years",
        "intraday-calendar-week-is-whole-sessions",
    ],
)
async def test_duration_covers(gateway_sim, ib, now, contract, duration, size, rth, count, first, last):
    gateway_sim.set_clock(now)
    bars = await ib.reqHistoricalDataAsync(contract, "", duration, size, "TRADES", rth, timeout=5)
    assert (len(bars), bars[0].date, bars[-1].date) == (count, first, last)
    assert not {calendar_date(b.date) for b in bars} & NYSE_CLOSED


async def test_early_close_day_bar_holds_the_short_session(gateway_sim, ib):
    gateway_sim.set_clock(BLACK_FRIDAY_CLOSE)
    [day] = await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "1 day", "TRADES", True, timeout=5)
    minutes = await ib.reqHistoricalDataAsync(AAPL, "", "12600 S", "1 min", "TRADES", True, timeout=5)
    assert (minutes[0].date, minutes[-1].date) == (et(2025, 11, 28, 9, 30), et(2025, 11, 28, 12, 59))
    assert (day.open, day.close) == (minutes[0].open, minutes[-1].close)
    assert day.volume == pytest.approx(sum(b.volume for b in minutes), rel=1e-4)
