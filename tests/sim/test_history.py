"""Historical bars through ib_async's reqHistoricalDataAsync against the simulator."""

import datetime as dt
import os
import time
from zoneinfo import ZoneInfo

import pytest
from ib_async import IB, ContFuture, Future, Stock

from ibsim import GatewaySimulator
from ibsim.messages import CancelHistoricalData

WEDNESDAY_10_ET = dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.timezone.utc)
EASTERN, CENTRAL = ZoneInfo("US/Eastern"), ZoneInfo("US/Central")
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


async def bars_of(ib, contract=AAPL, end="", duration="1 D", size="1 min", what="TRADES",
                  rth=True, **extra) -> list:
    bars = await ib.reqHistoricalDataAsync(contract, end, duration, size, what, rth, timeout=5, **extra)
    return list(bars)  # BarDataList compares by identity


def weekdays(first: dt.date, last: dt.date) -> list[dt.date]:
    days = (first + dt.timedelta(days=i) for i in range((last - first).days + 1))
    return [d for d in days if d.weekday() < 5]


@pytest.mark.parametrize(
    "duration, first_day",
    [("350 D", dt.date(2024, 3, 21)), ("2 W", dt.date(2025, 2, 20)),
     ("1 M", dt.date(2025, 2, 6)), ("1 Y", dt.date(2024, 3, 6))],
    ids=["days-are-calendar-days", "weeks", "months", "years"],
)
async def test_daily_bars_cover_the_duration(ib, duration, first_day):
    bars = await bars_of(ib, duration=duration, size="1 day")
    dates = [b.date for b in bars]
    assert all(type(d) is dt.date for d in dates)
    assert dates == weekdays(first_day, dt.date(2025, 3, 5))  # today's bar is the running session


async def test_intraday_bars_are_zoned_within_hours_and_before_the_end(ib):
    bars = await bars_of(ib)
    assert len(bars) == 30  # 09:30 to 09:59, the session so far
    assert bars[0].date == dt.datetime(2025, 3, 5, 9, 30, tzinfo=EASTERN)
    assert all(b.date.tzinfo == EASTERN for b in bars)
    assert bars[-1].date < WEDNESDAY_10_ET


@pytest.mark.parametrize(
    "now, contract, rth, size, count, first, last",
    [
        (dt.datetime(2025, 3, 10, 12, 0, tzinfo=dt.timezone.utc), AAPL, True, "5 mins", 78,
         dt.datetime(2025, 3, 7, 9, 30, tzinfo=EASTERN), dt.datetime(2025, 3, 7, 15, 55, tzinfo=EASTERN)),
        (WEDNESDAY_10_ET, AAPL, False, "1 hour", 6,
         dt.datetime(2025, 3, 5, 4, 0, tzinfo=EASTERN), dt.datetime(2025, 3, 5, 9, 0, tzinfo=EASTERN)),
        (WEDNESDAY_10_ET, ES, False, "1 hour", 16,
         dt.datetime(2025, 3, 4, 17, 0, tzinfo=CENTRAL), dt.datetime(2025, 3, 5, 8, 0, tzinfo=CENTRAL)),
        (WEDNESDAY_10_ET, ES, True, "30 mins", 1,
         dt.datetime(2025, 3, 5, 8, 30, tzinfo=CENTRAL), dt.datetime(2025, 3, 5, 8, 30, tzinfo=CENTRAL)),
    ],
    ids=["before-the-bell-gives-previous-session", "stock-extended-hours",
         "future-overnight-session", "future-regular-hours"],
)
async def test_one_day_is_the_latest_session(gateway_sim, ib, now, contract, rth, size, count, first, last):
    gateway_sim.set_clock(now)
    bars = await bars_of(ib, contract, size=size, rth=rth)
    assert (len(bars), bars[0].date, bars[-1].date) == (count, first, last)


async def test_prices_are_plausible(ib):
    bars = await bars_of(ib, duration="5 D", size="1 min") + await bars_of(ib, duration="2 Y", size="1 day")
    for b in bars:
        assert 0 < b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high
        assert b.low <= b.average <= b.high and b.volume > 0 and b.barCount > 0
        assert all(round(p, 2) == p for p in (b.open, b.high, b.low, b.close))


async def test_bars_agree_across_requests_and_bar_sizes(ib):
    week = await bars_of(ib, duration="1 W", size="5 mins")
    day = await bars_of(ib, duration="1 D", size="5 mins")
    assert week[-len(day):] == day
    minutes = await bars_of(ib, duration="1 D", size="1 min")
    first_five = minutes[:5]
    assert (day[0].open, day[0].close) == (first_five[0].open, first_five[-1].close)
    assert (day[0].high, day[0].low) == (max(b.high for b in first_five), min(b.low for b in first_five))
    daily = await bars_of(ib, duration="10 D", size="1 day")
    assert (daily[-1].open, daily[-1].close) == (minutes[0].open, minutes[-1].close)
    assert daily[-1].high == max(b.high for b in minutes)


async def test_adjusted_last_scales_prices_before_the_last_adjustment(ib):
    trades = await bars_of(ib, duration="1 Y", size="1 day")
    adjusted = await bars_of(ib, duration="1 Y", size="1 day", what="ADJUSTED_LAST")
    assert [b.date for b in adjusted] == [b.date for b in trades]
    assert [b.volume for b in adjusted] == [b.volume for b in trades]
    old = [(a.close, t.close) for a, t in zip(adjusted, trades) if a.date < dt.date(2025, 2, 10)]
    recent = [(a.close, t.close) for a, t in zip(adjusted, trades) if a.date > dt.date(2025, 2, 10)]
    assert all(a < t for a, t in old)
    assert all(a == t for a, t in recent)


async def test_date_as_end_is_sent_as_utc_and_honoured(ib, gateway_sim, host_tz_utc):
    bars = await bars_of(ib, end=dt.date(2025, 3, 3), duration="5 D", size="1 day")
    assert gateway_sim.history_requests[-1].endDateTime == "20250303 23:59:59 UTC"
    assert [b.date for b in bars] == [dt.date(2025, 2, 27), dt.date(2025, 2, 28), dt.date(2025, 3, 3)]


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
    [(AAPL, "20250303 16:00:00 US/Eastern", "ADJUSTED_LAST"), (ES, "20250303-21:00:00", "TRADES"),
     (AAPL, "2025-03-03", "TRADES"), (AAPL, "20250303 16:00:00 Mars/Olympus", "TRADES"),
     (AAPL, "", "OPTION_IMPLIED_VOLATILITY"), (Stock("NOPE", "SMART", "USD"), "", "TRADES"),
     (AAPL, "19850102 12:00:00 US/Eastern", "TRADES")],
    ids=["adjusted-last-with-end", "continuous-future-with-end", "malformed-end", "unknown-zone",
         "unsupported-data-type", "unknown-contract", "before-any-data"],
)
async def test_refusals_end_the_request_with_no_bars(ib, gateway_sim, contract, end, what):
    assert await bars_of(ib, contract, end=end, what=what) == []
    assert not [r for r in gateway_sim.requests if isinstance(r, CancelHistoricalData)]  # not a timeout


async def test_too_long_a_query_is_refused(ib, gateway_sim):
    assert await bars_of(ib, duration="1 Y", size="1 secs") == []
    gateway_sim.desk.max_bars = 100
    assert await bars_of(ib, duration="1 D", size="1 min") == []
    assert await bars_of(ib, duration="1 D", size="5 mins")


@pytest.mark.parametrize(
    "size, last_dates",
    [("1 week", [dt.date(2025, 2, 21), dt.date(2025, 2, 28), dt.date(2025, 3, 5)]),
     ("1 month", [dt.date(2024, 12, 31), dt.date(2025, 1, 31), dt.date(2025, 2, 28), dt.date(2025, 3, 5)])],
    ids=["weeks-end-on-fridays", "months-end-on-last-trade-date"],
)
async def test_weekly_and_monthly_bars_are_dated_by_their_last_day(ib, size, last_dates):
    bars = await bars_of(ib, duration="1 Y", size=size)
    assert [b.date for b in bars[-len(last_dates):]] == last_dates


async def test_seconds_duration_counts_back_from_the_end(ib):
    bars = await bars_of(ib, duration="600 S", size="1 min")
    assert [b.date.minute for b in bars] == list(range(50, 60))


async def test_epoch_dates_and_quote_types(ib):
    [first, *_] = await bars_of(ib, formatDate=2, what="MIDPOINT")
    assert first.date == dt.datetime(2025, 3, 5, 14, 30, tzinfo=dt.timezone.utc)
    assert (first.volume, first.average, first.barCount) == (-1, -1, -1)


async def test_future_month_and_continuous_share_bars(ib):
    [month] = await ib.qualifyContractsAsync(Future("ES", exchange="CME"))
    continuous = await bars_of(ib, ES, duration="2 D", size="1 hour")
    assert await bars_of(ib, month, duration="2 D", size="1 hour") == continuous
    assert all(round(b.close / 0.25) * 0.25 == b.close for b in continuous)


async def test_bar_times_in_a_non_exchange_zone(gateway_clock):
    sim = GatewaySimulator(clock=gateway_clock, bar_zone="Europe/Berlin")
    port = await sim.start()
    ib = IB()
    try:
        await ib.connectAsync("127.0.0.1", port, clientId=1, timeout=2)
        bars = await bars_of(ib, size="30 mins")
        assert bars[0].date == dt.datetime(2025, 3, 5, 15, 30, tzinfo=ZoneInfo("Europe/Berlin"))
        assert bars[0].date == dt.datetime(2025, 3, 5, 9, 30, tzinfo=EASTERN)
    finally:
        ib.disconnect()
        await sim.stop()
