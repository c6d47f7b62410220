"""Long history in chunks: the same bars as one request would bring, in order, and what came when a
chunk keeps failing."""

import asyncio
import contextlib
import datetime as dt
from dataclasses import replace
from functools import partial

import pytest
from ib_async import Stock

from ibsim import GatewaySimulator, Latency
from quorvane.gateway import chunks, kept_days, kline_cache
from quorvane.gateway.client import GatewayClient, HistoryRequest
from quorvane.gateway.pacing import Pacer, Unlimited

AAPL = Stock("AAPL", "SMART", "USD")
NOW = dt.datetime(2026, 1, 9, 21, 0, tzinfo=dt.UTC)  # a Friday, after the close


def request(end, duration, bar_size="1 min", contract=AAPL):
    return HistoryRequest(contract, end, duration, bar_size, "TRADES", True, 1)


@pytest.mark.parametrize(
    "duration, bar_size, end, chunk_count",
    [
        ("365 D", "1 min", dt.date(2025, 12, 31), 81),
        ("1 Y", "5 mins", dt.date(2025, 12, 31), 11),
        ("2 D", "1 min", dt.date(2025, 12, 31), None),
        ("365 D", "1 day", dt.date(2025, 12, 31), None),
        ("365 D", "1 week", dt.date(2025, 12, 31), None),
        ("30 D", "1 min", "20251231 16:00:00 US/Eastern", None),
        ("86400 S", "1 min", "", None),
    ],
    ids=["year-of-1m", "year-of-5m-in-years", "few-bars", "daily", "weekly", "gateway-text-end", "seconds"],
)
def test_what_is_split_and_into_how_many(duration, bar_size, end, chunk_count):
    plan = chunks.plan(request(end, duration, bar_size), NOW.date())
    assert (plan and len(plan.chunks(end))) == chunk_count
    if plan:
        sizes = [len(c.days) * plan.bars_per_day for c in plan.chunks(end)]
        assert max(sizes) <= chunks.CHUNK_BARS and plan.chunks(end)[-1].end == end


@pytest.mark.parametrize("chunk_bars", [1_000, 2_000, 4_000, 8_000])
def test_a_chunk_is_never_split_again(monkeypatch, chunk_bars):
    monkeypatch.setattr(chunks, "CHUNK_BARS", chunk_bars)
    asked = request(dt.date(2025, 12, 31), "365 D")
    made = chunks.plan(asked, NOW.date()).chunks(asked.end)
    assert not [c for c in made if chunks.is_long(replace(asked, end=c.end, duration=c.duration))]


@pytest.fixture
async def client():
    sim = GatewaySimulator(clock=NOW, latency=Latency(0.0, 0.0), pacing=False)
    ib = GatewayClient(pacer=Pacer(Unlimited()))
    await ib.connectAsync("127.0.0.1", await sim.start(), clientId=1, timeout=5)
    ib.sim = sim
    yield ib
    ib.disconnect()
    await sim.stop()


@pytest.mark.parametrize(
    "end, duration, bar_size",
    [(dt.date(2025, 12, 31), "40 D", "1 min"), ("", "30 D", "1 min"), (dt.date(2025, 11, 28), "2 M", "5 mins")],
    ids=["date-end", "up-to-now", "calendar-span"],
)
async def test_chunks_bring_what_one_request_brings(client, monkeypatch, end, duration, bar_size):
    chunked = list(await client.reqHistoricalDataAsync(AAPL, end, duration, bar_size, "TRADES", True))
    sent = len(client.sim.history_requests)
    monkeypatch.setattr(chunks, "SPLIT_ABOVE", 10**9)
    whole = list(await client.reqHistoricalDataAsync(AAPL, end, duration, bar_size, "TRADES", True))
    assert sent > 1 and len(client.sim.history_requests) == sent + 1
    assert chunked == whole  # every bar, in order, none twice at a seam


async def test_a_chunk_that_keeps_failing_leaves_what_came_marked_incomplete(client, monkeypatch, log_lines):
    monkeypatch.setattr(chunks, "RETRY_PAUSES", (0.0, 0.0))
    asked = request(dt.date(2025, 12, 31), "40 D")
    plan = chunks.plan(asked, NOW.date())
    failing = plan.chunks(asked.end)[-3]
    tries = []

    async def fetch_one(chunk_request, timeout):
        if chunk_request.end == failing.end:
            tries.append(timeout)
            return []
        return await client._fetch(chunk_request, timeout)

    bars = await chunks.fetch(asked, plan, fetch_one, [], 60)
    days = {chunks.bar_day(bar) for bar in bars}
    assert len(tries) == chunks.CHUNK_TRIES and tries[0] == pytest.approx(20 + 0.01 * 5 * plan.bars_per_day)
    assert not days & set(failing.days) and {failing.days[0] - dt.timedelta(days=1), dt.date(2025, 12, 31)} <= days
    assert log_lines[-1] == (
        f"WARNING|[AAPL] 1m {plan.days[0]}..2025-12-31: {len(bars):,} of about 16,000 bars; "
        f"{failing.days[0]}..{failing.days[-1]} missing"
    )
    assert kline_cache._partial == {"AAPL"}
    kline_cache._partial.clear()


async def test_kept_days_answer_again_and_only_missing_days_are_fetched(client, monkeypatch):
    client.sim.latency = Latency(0.05, 0.0)
    client.sim.serving_slots = asyncio.Semaphore(1)
    ask = partial(client.reqHistoricalDataAsync, AAPL, barSizeSetting="1 min", whatToShow="TRADES", useRTH=True)
    task = asyncio.ensure_future(ask(endDateTime=dt.date(2025, 12, 31), durationStr="40 D"))
    while len(client.sim.served) < 3:
        await asyncio.sleep(0.01)
    task.cancel()  # Ctrl-C: what came is kept
    with contextlib.suppress(asyncio.CancelledError):
        await task
    kept_days.KeptDays.of(request("", "1 D")).store.flush()
    sent = len(client.sim.history_requests)

    resumed = list(await ask(endDateTime=dt.date(2025, 12, 31), durationStr="40 D"))
    resumed_sent = len(client.sim.history_requests) - sent
    again = list(await ask(endDateTime=dt.date(2025, 12, 31), durationStr="40 D"))
    assert len(client.sim.history_requests) - sent == resumed_sent  # the same request: nothing sent
    week_later = list(await ask(endDateTime=dt.date(2026, 1, 8), durationStr="45 D"))
    assert len(client.sim.history_requests) - sent == resumed_sent + 2  # the six new weekdays, in two chunks

    monkeypatch.setenv("KLINE_CACHE_URL", "memory:")
    fresh = list(await ask(endDateTime=dt.date(2025, 12, 31), durationStr="40 D"))
    assert 0 < resumed_sent < len(chunks.plan(request(dt.date(2025, 12, 31), "40 D"), NOW.date()).chunks(""))
    assert resumed == again == fresh
    overlap = [bar for bar in week_later if chunks.bar_day(bar) <= dt.date(2025, 12, 31)]
    assert overlap == fresh[-len(overlap) :] and len(week_later) == 45 * 390
