"""Calendar rules behind the answers: exchange sessions, futures expiries, request terms."""

import contextlib
import datetime as dt

import pytest

from ibsim import calendars
from ibsim.expiries import FutureContract, front_month
from ibsim.sessions import CME_HOURS, COMEX_HOURS, NYMEX_HOURS, US_STOCK_HOURS
from ibsim.terms import TermError, parse_bar_size, parse_duration, parse_end
from ibsim.universe import default_universe

ROOTS = default_universe().futures


def local(day: str, clock: str) -> dt.datetime:
    return dt.datetime.fromisoformat(f"{day} {clock}")


@pytest.mark.parametrize(
    "hours, day, rth, bounds",
    [
        (US_STOCK_HOURS, "2025-03-05", True, ("2025-03-05 09:30", "2025-03-05 16:00")),
        (US_STOCK_HOURS, "2025-03-05", False, ("2025-03-05 04:00", "2025-03-05 20:00")),
        (US_STOCK_HOURS, "2026-11-26", True, None),
        (US_STOCK_HOURS, "2026-11-27", True, ("2026-11-27 09:30", "2026-11-27 13:00")),
        (US_STOCK_HOURS, "2026-11-27", False, ("2026-11-27 04:00", "2026-11-27 17:00")),
        (US_STOCK_HOURS, "2026-12-25", False, None),
        (US_STOCK_HOURS, "2027-01-01", True, None),
        (US_STOCK_HOURS, "2025-01-09", True, None),
        (CME_HOURS, "2025-03-10", False, ("2025-03-09 17:00", "2025-03-10 16:00")),
        (CME_HOURS, "2025-11-28", True, ("2025-11-28 08:30", "2025-11-28 12:00")),
        (CME_HOURS, "2025-04-18", True, None),
        (CME_HOURS, "2025-04-18", False, ("2025-04-17 17:00", "2025-04-18 08:15")),
        (NYMEX_HOURS, "2025-11-28", False, ("2025-11-27 18:00", "2025-11-28 13:45")),
        (COMEX_HOURS, "2025-03-05", True, ("2025-03-05 08:20", "2025-03-05 13:30")),
    ],
    ids=[
        "stock-regular",
        "stock-all-hours",
        "thanksgiving",
        "early-close-regular",
        "early-close-all-hours",
        "christmas",
        "new-year",
        "day-of-mourning",
        "future-opens-sunday-evening",
        "future-early-close",
        "good-friday-no-regular-hours",
        "good-friday-short-overnight",
        "energy-in-eastern-time",
        "metals-regular-hours",
    ],
)
def test_sessions_come_from_the_exchange_calendar(hours, day, rth, bounds):
    session = hours.sessions(rth).find(dt.date.fromisoformat(day))
    expected = bounds and tuple(dt.datetime.fromisoformat(b) for b in bounds)
    assert (session and session.bounds()) == expected


@pytest.mark.parametrize(
    "hours, moment, rth, trade_date",
    [
        (US_STOCK_HOURS, local("2025-03-08", "12:00"), True, "2025-03-07"),
        (US_STOCK_HOURS, local("2025-03-07", "09:29"), True, "2025-03-06"),
        (US_STOCK_HOURS, local("2025-03-07", "09:29"), False, "2025-03-07"),
        (US_STOCK_HOURS, local("2025-11-28", "09:00"), True, "2025-11-26"),
        (CME_HOURS, local("2025-03-09", "17:01"), False, "2025-03-10"),
        (CME_HOURS, local("2025-03-09", "17:01"), True, "2025-03-07"),
    ],
    ids=[
        "weekend-is-friday",
        "before-the-bell",
        "pre-market-counts-with-all-hours",
        "holiday-is-skipped",
        "sunday-evening-opens-monday",
        "sunday-evening-regular-is-friday",
    ],
)
def test_latest_session_is_the_last_one_opened(hours, moment, rth, trade_date):
    sessions = hours.sessions(rth)
    assert sessions[sessions.last_opened_before(moment)].day == dt.date.fromisoformat(trade_date)


@pytest.mark.parametrize(
    "symbol, year, month, last_trade",
    [
        ("ES", 2025, 3, dt.date(2025, 3, 21)),
        ("ES", 2025, 12, dt.date(2025, 12, 19)),
        ("ES", 2026, 6, dt.date(2026, 6, 18)),
        ("CL", 2025, 4, dt.date(2025, 3, 20)),
        ("CL", 2025, 5, dt.date(2025, 4, 22)),
        ("CL", 2025, 7, dt.date(2025, 6, 20)),
        ("CL", 2026, 1, dt.date(2025, 12, 19)),
        ("GC", 2025, 12, dt.date(2025, 12, 29)),
        ("MGC", 2026, 2, dt.date(2026, 2, 25)),
    ],
    ids=[
        "index-third-friday",
        "index-december",
        "index-juneteenth-moves-to-thursday",
        "crude-25th-on-tuesday",
        "crude-25th-on-friday",
        "crude-25th-on-sunday",
        "crude-counts-past-christmas",
        "gold-third-last-business-day",
        "micro-gold",
    ],
)
def test_last_trade_dates_match_the_exchanges(symbol, year, month, last_trade):
    assert FutureContract(ROOTS[symbol], year, month).lastTradeDate == last_trade


@pytest.mark.parametrize(
    "today, local_symbol",
    [(dt.date(2025, 3, 21), "ESH5"), (dt.date(2025, 3, 22), "ESM5"), (dt.date(2025, 12, 20), "ESH6")],
    ids=["on-expiry-day", "day-after-expiry", "across-year-end"],
)
def test_front_month_rolls_after_expiry(today, local_symbol):
    assert front_month(ROOTS["ES"], today).localSymbol == local_symbol


def test_calendar_cache_is_rebuilt_when_unreadable(tmp_path, monkeypatch):
    monkeypatch.setenv("IBSIM_CACHE_DIR", str(tmp_path))
    calendars.session_table.cache_clear()
    try:
        built = calendars.session_table("CMEGlobex_Metals", "US/Eastern")
        [stored] = tmp_path.iterdir()
        assert calendars._load(stored).days.tolist() == built.days.tolist()
        stored.write_bytes(b"not a numpy file")
        calendars.session_table.cache_clear()
        rebuilt = calendars.session_table("CMEGlobex_Metals", "US/Eastern")
        assert rebuilt.closes.tolist() == built.closes.tolist()
        assert calendars._load(stored) is not None
    finally:
        calendars.session_table.cache_clear()


@pytest.mark.parametrize(
    "text",
    ["1D", "0 D", "1 d", "1 Q", "", " 1 D", "1.5 D"],
    ids=["no-blank", "zero", "lower-case", "unknown-unit", "empty", "padded", "fraction"],
)
def test_malformed_durations_are_refused(text):
    with pytest.raises(TermError):
        parse_duration(text)


@pytest.mark.parametrize(
    "text",
    ["1 sec", "60 mins", "2 days", "1 hours", "1min"],
    ids=["singular-secs", "not-offered", "multi-day", "plural-hour", "no-blank"],
)
def test_bar_sizes_the_gateway_does_not_offer_are_refused(text):
    with pytest.raises(TermError):
        parse_bar_size(text)


@pytest.mark.parametrize(
    "text",
    ["20250230 10:00:00 UTC", "20250301 25:00:00 UTC", "20250301", "now"],
    ids=["no-such-day", "no-such-hour", "date-only", "word"],
)
def test_impossible_end_times_are_refused(text):
    with pytest.raises(TermError):
        parse_end(text, dt.datetime.now(dt.UTC), "US/Eastern")


@pytest.mark.parametrize(
    "duration, first",
    [
        ("1 W", dt.date(2024, 3, 23)),
        ("1 M", dt.date(2024, 3, 1)),
        ("1 Y", dt.date(2023, 3, 30)),
        ("3000 Y", dt.date.min),
        ("99999999 W", dt.date.min),
    ],
    ids=["week", "month-from-month-end", "year", "years-before-year-one", "weeks-before-year-one"],
)
def test_calendar_spans_start_after_the_same_day_back(duration, first):
    assert parse_duration(duration).first_date(dt.date(2024, 3, 29)) == first


@pytest.mark.parametrize(
    "failure", [OSError(28, "No space left on device"), KeyboardInterrupt()], ids=["full-disk", "interrupted"]
)
def test_the_calendar_cache_leaves_nothing_behind_when_a_write_fails(tmp_path, monkeypatch, failure):
    table = calendars.session_table("NYSE", "America/New_York")

    def savez(out, **arrays):
        out.write(b"PK\x03\x04 half a file")
        raise failure

    monkeypatch.setattr(calendars.np, "savez", savez)
    with pytest.raises(KeyboardInterrupt) if isinstance(failure, KeyboardInterrupt) else contextlib.nullcontext():
        calendars._store(tmp_path / "NYSE.npz", table)
    assert list(tmp_path.iterdir()) == []
