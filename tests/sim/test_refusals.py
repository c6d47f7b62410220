"""Requests the gateway refuses, with its codes and wording, and the switch to another answer."""

import asyncio
import datetime as dt

import pytest
from ib_async import ContFuture, Future, Stock

from ibsim import Refusals

AAPL = Stock("AAPL", "SMART", "USD")
ES = ContFuture("ES", "CME")
END = "20250303 16:00:00 US/Eastern"
DAYS_TEXT = (
    "Error validating request.-'bH' : cause - Historical data requests for durations longer "
    "than 365 days must be made in years."
)
BAR_SIZE_TEXT = (
    "Error validating request.-'bK' : cause - Historical data bar size setting is invalid. Legal ones "
    "are: 1 secs, 5 secs, 10 secs, 15 secs, 30 secs, 1 min, 2 mins, 3 mins, 5 mins, 10 mins, 15 mins, "
    "20 mins, 30 mins, 1 hour, 2 hours, 3 hours, 4 hours, 8 hours, 1 day, 1W, 1M"
)


@pytest.fixture
def gateway_clock():
    return dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.UTC)


async def answer(ib, contract=AAPL, end="", duration="1 D", size="1 day", what="TRADES", live=False):
    """(code, text) of the first error the gateway sends for the request, else the number
    of bars. ib_async sits out a 321 until its timeout, so the request is dropped once answered."""
    refused = asyncio.get_running_loop().create_future()

    def on_error(req_id, code, text, _contract):
        if not 2100 <= code < 2200 and not refused.done():  # 2100-2199 are notices
            refused.set_result((code, text))

    ib.errorEvent += on_error
    request = asyncio.ensure_future(
        ib.reqHistoricalDataAsync(contract, end, duration, size, what, True, keepUpToDate=live, timeout=0)
    )
    try:
        await asyncio.wait([refused, request], timeout=5, return_when=asyncio.FIRST_COMPLETED)
        return refused.result() if refused.done() else len(request.result())
    finally:
        ib.errorEvent -= on_error
        request.cancel()


@pytest.mark.parametrize(
    "request_args, code, text",
    [
        (dict(duration="366 D"), 321, DAYS_TEXT),
        (dict(duration="86401 S", size="1 hour"), 321, "greater than 86400 seconds"),
        (dict(duration="53 W"), 321, "longer than 52 weeks"),
        (dict(duration="13 M"), 321, "longer than 12 months"),
        (dict(duration="69 Y", size="1 month"), 321, "longer than 68 years"),
        (dict(duration="1 D", size="1 secs"), 162, "invalid step: 1"),
        (dict(duration="2001 S", size="1 secs"), 162, "invalid step: 1"),
        (dict(size="2 days"), 321, BAR_SIZE_TEXT),
        (dict(end=END, what="ADJUSTED_LAST"), 321, "End date not supported with adjusted last"),
        (
            dict(duration="1 Y", size="1 week", what="ADJUSTED_LAST"),
            321,
            "Multi day bar size not supported with adjusted last",
        ),
        (
            dict(duration="1 Y", size="1 month", what="ADJUSTED_LAST"),
            321,
            "Multi day bar size not supported with adjusted last",
        ),
        (dict(end=END, size="5 mins", live=True), 321, "End date not supported with live updates"),
        (
            dict(contract=ES, end=END),
            10339,
            "Setting end date/time for continuous future security type is not allowed.",
        ),
        (dict(contract=Future("ES", exchange="CME")), 200, "The contract description specified for ES is ambiguous."),
    ],
    ids=[
        "days-over-a-year",
        "seconds-over-a-day",
        "weeks-over-a-year",
        "months-over-a-year",
        "years-over-68",
        "second-bars-in-days",
        "second-bars-over-2000-seconds",
        "unknown-bar-size",
        "adjusted-last-with-end",
        "adjusted-last-weekly",
        "adjusted-last-monthly",
        "live-updates-with-end",
        "continuous-future-with-end",
        "future-without-expiry",
    ],
)
async def test_refusal_code_and_wording(ib, request_args, code, text):
    got_code, got_text = await answer(ib, **request_args)
    assert got_code == code
    assert text in got_text


@pytest.mark.parametrize(
    "request_args, bars",
    [
        (dict(duration="365 D"), 365),
        (dict(duration="86400 S", size="1 hour"), 26),
        (dict(duration="52 W"), 249),
        (dict(duration="12 M"), 250),
        (dict(duration="2000 S", size="1 secs"), 2000),
        (dict(duration="1 Y", size="1W"), 53),
        (dict(duration="1 Y", size="1M"), 13),
        (dict(what="ADJUSTED_LAST"), 1),
    ],
    ids=[
        "365-days",
        "86400-seconds",
        "52-weeks",
        "12-months",
        "2000-seconds-of-second-bars",
        "week-bars-as-listed",
        "month-bars-as-listed",
        "adjusted-last-daily-to-now",
    ],
)
async def test_limits_admit_their_boundaries(ib, request_args, bars):
    assert await answer(ib, **request_args) == bars


@pytest.mark.parametrize(
    "gateway_options, request_args, expected",
    [
        ({"refusals": Refusals(adjusted_last_end=162)}, dict(end=END, what="ADJUSTED_LAST"), 162),
        ({"refusals": Refusals(adjusted_last_end=None)}, dict(end=END, what="ADJUSTED_LAST"), 1),
        (
            {"refusals": Refusals(adjusted_last_multi_day=None)},
            dict(duration="1 M", size="1 week", what="ADJUSTED_LAST"),
            5,
        ),
        ({"refusals": Refusals(duration_limit=None)}, dict(duration="400 D"), 400),
        ({"refusals": Refusals(duration_limit=162)}, dict(duration="400 D"), 162),
        ({"refusals": Refusals(live_updates_end=None)}, dict(end=END, size="1 hour", live=True), 7),
        ({"refusals": Refusals(continuous_future_end=None)}, dict(contract=ES, end=END), 1),
        ({"refusals": Refusals(invalid_bar_size=162)}, dict(size="2 days"), 162),
    ],
    ids=[
        "adjusted-end-ends-at-once",
        "adjusted-end-served",
        "adjusted-weekly-served",
        "long-days-served",
        "long-days-end-at-once",
        "live-with-end-served",
        "continuous-future-with-end-served",
        "bad-bar-size-ends-at-once",
    ],
)
async def test_each_refusal_is_a_switch(ib, request_args, expected):
    got = await answer(ib, **request_args)
    assert (got[0] if isinstance(got, tuple) else got) == expected


@pytest.mark.parametrize(
    "gateway_options, code",
    [({"scenario": "delayed-only"}, 354), ({"scenario": "competing-session"}, 10197)],
    ids=["delayed-only", "competing-session"],
)
async def test_scenarios_refuse_quotes_with_their_code(ib, code):
    refused = asyncio.get_running_loop().create_future()
    ib.errorEvent += lambda req_id, error, text, contract: refused.done() or refused.set_result((req_id, error))
    ticker = ib.reqMktData(Stock("AAPL", "SMART", "USD", conId=265598))
    req_id, error = await asyncio.wait_for(refused, 5)
    assert error == code and ib.wrapper.ticker2ReqId["mktData"][ticker] == req_id
