"""Historical bars through ib_async's reqHistoricalDataAsync against the simulator."""

import datetime as dt
import os
import time
from zoneinfo import ZoneInfo

import pytest
from ib_async import ContFuture, Future, Stock

from ibsim.messages import CancelHistoricalData

WEDNESDAY_10_ET = dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.UTC)
EASTERN = ZoneInfo("US/Eastern")
AAPL = Stock("AAPL", "SMART", "USD", conId=265598)
ES = ContFuture("ES", "CME")


@pytest.fixture
def gateway_clock():
    return WEDNESDAY_10_ET


@pytest.fixture
def host_tz_utc():
    """ib_async turns a date end into UTC via host-local time: pin it."""
    before = os.environ.get("TZ")
    os.environ["TZ"] = "UTC"
    time.tzset()
    yield
    if before is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = before
    time.tzset()


async def bars_of(ib, contract=AAPL, end="", duration="1 D", size="1 min", what="TRADES", rth=True, **extra) -> list:
    bars = await ib.reqHistoricalDataAsync(contract, end, duration, size, what, rth, timeout=5, **extra)
    return list(bars)  # BarDataList compares by identity


async def test_intraday_bars_are_zoned_within_hours_and_before_the_end(ib):
    bars = await bars_of(ib, duration="1800 S")
    assert len(bars) == 30  # 09:30 to 09:59, the session so far
    assert bars[0].date == dt.datetime(2025, 3, 5, 9, 30, tzinfo=EASTERN)
    assert all(b.date.tzinfo == EASTERN for b in bars)
    assert bars[-1].date < WEDNESDAY_10_ET


async def test_prices_are_plausible(ib):
    bars = await bars_of(ib, duration="5 D", size="1 min") + await bars_of(ib, duration="2 Y", size="1 day")
    for b in bars:
        assert 0 < b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high
        assert b.low <= b.average <= b.high and b.volume > 0 and b.barCount > 0
        assert all(round(p, 2) == p for p in (b.open, b.high, b.low, b.close))


async def test_bars_agree_across_requests_and_bar_sizes(ib):
    week = await bars_of(ib, duration="1 W", size="5 mins")
    day = await bars_of(ib, duration="1 D", size="5 mins")
    assert week[-len(day) :] == day
    minutes = await bars_of(ib, duration="1 D", size="1 min")
    first_five = minutes[:5]
    assert (day[0].open, day[0].close) == (first_five[0].open, first_five[-1].close)
    assert (day[0].high, day[0].low) == (max(b.high for b in first_five), min(b.low for b in first_five))
    today = [b for b in minutes if b.date.date() == dt.date(2025, 3, 5)]
    daily = await bars_of(ib, duration="10 D", size="1 day")
    assert (daily[-1].open, daily[-1].close) == (today[0].open, today[-1].close)
    assert daily[-1].high == max(b.high for b in today)


async def test_adjusted_last_scales_prices_before_the_last_adjustment(ib):
    trades = await bars_of(ib, duration="1 Y", size="1 day")
    adjusted = await bars_of(ib, duration="1 Y", size="1 day", what="ADJUSTED_LAST")
    assert [b.date for b in adjusted] == [b.date for b in trades]
    assert [b.volume for b in adjusted] == [b.volume for b in trades]
    old = [(a.close, t.close) for a, t in zip(adjusted, trades, strict=True) if a.date < dt.date(2025, 2, 10)]
    recent = [(a.close, t.close) for a, t in zip(adjusted, trades, strict=True) if a.date > dt.date(2025, 2, 10)]
    assert all(a < t for a, t in old)
    assert all(a == t for a, t in recent)


async def test_date_as_end_is_sent_as_utc_and_honoured(ib, gateway_sim, host_tz_utc):
    bars = await bars_of(ib, end=dt.date(2025, 3, 3), duration="5 D", size="1 day")
    assert gateway_sim.history_requests[-1].endDateTime == "20250303 23:59:59 UTC"
    assert [b.date for b in bars] == [dt.date(2025, 2, d) for d in (25, 26, 27, 28)] + [dt.date(2025, 3, 3)]


@pytest.mark.parametrize(
    "end",
    ["20250303 16:00:00 US/Eastern", "20250303-21:00:00", "20250303 21:00:00 UTC", "20250303 16:00:00"],
    ids=["exchange-zone", "dashed-utc", "utc-suffix", "no-zone-means-gateway-zone"],
)
async def test_end_time_formats(ib, end):
    bars = await bars_of(ib, end=end, duration="1 D", size="30 mins")
    assert bars[-1].date == dt.datetime(2025, 3, 3, 15, 30, tzinfo=EASTERN)


@pytest.mark.parametrize(
    "contract, end, what",
    [
        (ES, "20250303-21:00:00", "TRADES"),
        (AAPL, "2025-03-03", "TRADES"),
        (AAPL, "20250303 16:00:00 Mars/Olympus", "TRADES"),
        (AAPL, "", "OPTION_IMPLIED_VOLATILITY"),
        (Stock("NOPE", "SMART", "USD"), "", "TRADES"),
        (AAPL, "19850102 12:00:00 US/Eastern", "TRADES"),
    ],
    ids=[
        "continuous-future-with-end",
        "malformed-end",
        "unknown-zone",
        "unsupported-data-type",
        "unknown-contract",
        "before-any-data",
    ],
)
async def test_refusals_end_the_request_with_no_bars(ib, gateway_sim, contract, end, what):
    assert await bars_of(ib, contract, end=end, what=what) == []
    assert not [r for r in gateway_sim.requests if isinstance(r, CancelHistoricalData)]  # not a timeout


async def test_too_long_a_query_is_refused(ib, gateway_sim):
    assert await bars_of(ib, duration="1 Y", size="5 secs") == []
    gateway_sim.desk.max_bars = 100
    assert await bars_of(ib, duration="1 D", size="1 min") == []
    assert await bars_of(ib, duration="1 D", size="5 mins")


@pytest.mark.parametrize(
    "size, last_dates",
    [
        ("1 week", [dt.date(2025, 2, 21), dt.date(2025, 2, 28), dt.date(2025, 3, 5)]),
        ("1 month", [dt.date(2024, 12, 31), dt.date(2025, 1, 31), dt.date(2025, 2, 28), dt.date(2025, 3, 5)]),
    ],
    ids=["weeks-end-on-fridays", "months-end-on-last-trade-date"],
)
async def test_weekly_and_monthly_bars_are_dated_by_their_last_day(ib, size, last_dates):
    bars = await bars_of(ib, duration="1 Y", size=size)
    assert [b.date for b in bars[-len(last_dates) :]] == last_dates


async def test_epoch_dates_and_quote_types(ib):
    [first, *_] = await bars_of(ib, formatDate=2, what="MIDPOINT")
    assert first.date == dt.datetime(2025, 3, 4, 15, 0, tzinfo=dt.UTC)  # 10:00 the day before
    assert (first.volume, first.average, first.barCount) == (-1, -1, -1)


async def test_future_month_and_continuous_share_bars(ib):
    [month] = await ib.qualifyContractsAsync(Future("ES", "202503", "CME"))
    continuous = await bars_of(ib, ES, duration="2 D", size="1 hour")
    assert await bars_of(ib, month, duration="2 D", size="1 hour") == continuous
    assert all(round(b.close / 0.25) * 0.25 == b.close for b in continuous)


@pytest.mark.parametrize(
    "gateway_options, first",
    [
        (
            {"bar_times": "operator", "operator_zone": "Europe/Berlin"},
            dt.datetime(2025, 3, 4, 16, 0, tzinfo=ZoneInfo("Europe/Berlin")),
        ),
        ({"bar_times": "utc"}, dt.datetime(2025, 3, 4, 15, 0)),
    ],  # the dashed UTC form: ib_async keeps it naive
    ids=["operator-zone", "utc"],
)
async def test_bar_times_as_the_operator_set_them(ib, first):
    bars = await bars_of(ib, size="30 mins")
    assert bars[0].date == first  # 10:00 Eastern the day before
    days = await bars_of(ib, duration="5 D", size="1 day")
    assert days[-1].date == dt.date(2025, 3, 5)  # daily bars stay dates
