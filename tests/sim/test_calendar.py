"""Calendar rules behind the answers: futures expiries, request terms, sessions."""

import datetime as dt

import pytest

from ibsim.expiries import FutureContract, front_month
from ibsim.sessions import CME_HOURS, US_STOCK_HOURS
from ibsim.terms import TermError, parse_bar_size, parse_duration, parse_end
from ibsim.universe import default_universe

ROOTS = default_universe().futures


@pytest.mark.parametrize(
    "symbol, year, month, last_trade",
    [("ES", 2025, 3, dt.date(2025, 3, 21)), ("ES", 2025, 12, dt.date(2025, 12, 19)),
     ("CL", 2025, 4, dt.date(2025, 3, 20)), ("CL", 2025, 5, dt.date(2025, 4, 22)),
     ("CL", 2025, 7, dt.date(2025, 6, 20))],
    ids=["index-third-friday", "index-december", "crude-25th-on-tuesday",
         "crude-25th-on-friday", "crude-25th-on-sunday"],
)
def test_last_trade_dates_match_the_exchanges(symbol, year, month, last_trade):
    assert FutureContract(ROOTS[symbol], year, month).lastTradeDate == last_trade


@pytest.mark.parametrize(
    "today, local_symbol",
    [(dt.date(2025, 3, 21), "ESH5"), (dt.date(2025, 3, 22), "ESM5"),
     (dt.date(2025, 12, 20), "ESH6")],
    ids=["on-expiry-day", "day-after-expiry", "across-year-end"],
)
def test_front_month_rolls_after_expiry(today, local_symbol):
    assert front_month(ROOTS["ES"], today).localSymbol == local_symbol


@pytest.mark.parametrize("text", ["1D", "0 D", "1 d", "1 Q", "", " 1 D", "1.5 D"],
                         ids=["no-blank", "zero", "lower-case", "unknown-unit", "empty", "padded", "fraction"])
def test_malformed_durations_are_refused(text):
    with pytest.raises(TermError):
        parse_duration(text)


@pytest.mark.parametrize("text", ["1 sec", "60 mins", "2 days", "1 hours", "1min"],
                         ids=["singular-secs", "not-offered", "multi-day", "plural-hour", "no-blank"])
def test_bar_sizes_the_gateway_does_not_offer_are_refused(text):
    with pytest.raises(TermError):
        parse_bar_size(text)


@pytest.mark.parametrize("text", ["20250230 10:00:00 UTC", "20250301 25:00:00 UTC", "20250301", "now"],
                         ids=["no-such-day", "no-such-hour", "date-only", "word"])
def test_impossible_end_times_are_refused(text):
    with pytest.raises(TermError):
        parse_end(text, dt.datetime.now(dt.timezone.utc), "US/Eastern")


@pytest.mark.parametrize(
    "hours, local_end, use_rth, trade_date",
    [(US_STOCK_HOURS, dt.datetime(2025, 3, 8, 12, 0), True, dt.date(2025, 3, 7)),
     (US_STOCK_HOURS, dt.datetime(2025, 3, 7, 9, 29), True, dt.date(2025, 3, 6)),
     (US_STOCK_HOURS, dt.datetime(2025, 3, 7, 9, 29), False, dt.date(2025, 3, 7)),
     (CME_HOURS, dt.datetime(2025, 3, 9, 17, 0), False, dt.date(2025, 3, 10)),
     (CME_HOURS, dt.datetime(2025, 3, 9, 17, 0), True, dt.date(2025, 3, 7))],
    ids=["weekend-is-friday", "before-the-bell", "pre-market-counts-with-all-hours",
         "sunday-evening-opens-monday", "sunday-evening-regular-is-friday"],
)
def test_latest_session(hours, local_end, use_rth, trade_date):
    assert hours.latest_session(local_end, use_rth) == trade_date


@pytest.mark.parametrize(
    "duration, first",
    [("1 D", dt.date(2024, 3, 29)), ("1 M", dt.date(2024, 3, 1)), ("1 Y", dt.date(2023, 3, 30)),
     ("3000 Y", dt.date.min), ("99999999 D", dt.date.min)],
    ids=["one-day-is-the-anchor", "month-from-month-end", "year", "years-before-year-one",
         "days-before-year-one"],
)
def test_calendar_durations_start_after_the_same_day_back(duration, first):
    assert parse_duration(duration).first_date(dt.date(2024, 3, 29)) == first
