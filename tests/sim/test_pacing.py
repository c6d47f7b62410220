"""Pacing limits on their own clock, and answers that take time."""

import asyncio
import datetime as dt

import pytest
from ib_async import Stock

from ibsim import Latency, Pacing
from support.clock import FakeClock

AAPL = Stock("AAPL", "SMART", "USD")


def burst(times, contract="AAPL", weight=1):
    """Distinct requests for one contract at the given times."""
    return [(t, f"{contract}-{i}", contract, weight) for i, t in enumerate(times)]


@pytest.mark.parametrize(
    "made, admitted",
    [
        ([(0, "A", "X", 1), (14.9, "A", "X", 1)], [True, False]),
        ([(0, "A", "X", 1), (15, "A", "X", 1)], [True, True]),
        ([(0, "A", "X", 1), (10, "A", "X", 1), (20, "A", "X", 1)], [True, False, False]),
        (burst([0, 0.1, 0.2, 0.3, 0.4, 0.5]), [True] * 5 + [False]),
        (burst([0, 0.4, 0.8, 1.2, 1.6, 2.0]), [True] * 6),
        (burst([0, 0.1, 0.2]) + burst([0.3, 0.4, 0.5], contract="MSFT"), [True] * 6),
        (burst([0, 0.5, 1.0], weight=2), [True, True, False]),
        ([(5 * i, i, i % 5, 1) for i in range(61)], [True] * 60 + [False]),
        ([(10 * i, i, i % 5, 1) for i in range(61)], [True] * 61),
    ],
    ids=[
        "identical-within-15s",
        "identical-after-15s",
        "refused-requests-count-too",
        "sixth-for-a-contract-within-2s",
        "six-spread-over-2s",
        "other-contracts-apart",
        "bid-ask-counts-twice",
        "sixty-first-in-ten-minutes",
        "ten-minutes-slide",
    ],
)
def test_pacing_limits(made, admitted):
    clock = iter(t for t, *_ in made)
    pacing = Pacing(lambda: next(clock))
    assert [pacing.admit(request, contract, weight) for _, request, contract, weight in made] == admitted


@pytest.fixture
def pacing_clock():
    return FakeClock()


@pytest.fixture
def gateway_options(pacing_clock):
    return {"pacing": True, "pacing_clock": pacing_clock}


@pytest.fixture
def gateway_clock():
    return dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.UTC)


async def test_small_bars_are_paced_and_larger_ones_are_not(ib, pacing_clock):
    errors = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append((code, text))

    async def ask(bar_size) -> list:
        return list(await ib.reqHistoricalDataAsync(AAPL, "", "1800 S", bar_size, "TRADES", True, timeout=5))

    assert await ask("30 secs")
    assert await ask("30 secs") == []
    assert errors == [(162, "Historical Market Data Service error message:Historical data request pacing violation")]
    pacing_clock.now += 15
    assert await ask("30 secs")
    assert all([await ask("1 min") for _ in range(8)])  # identical, and more than five in 2 s
    assert len(errors) == 1


@pytest.mark.parametrize("gateway_options", [{"latency": Latency(0.05, 0.0), "serving": 2}], ids=["two-at-once"])
async def test_the_gateway_serves_so_many_at_once_and_refuses_the_51st_open_request(ib, gateway_sim):
    errors = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append((code, text))
    ib.client.MaxRequests = 0  # ib_async would hold back the 46th for a second
    asks = [ib.reqHistoricalDataAsync(AAPL, "", f"{1 + i} D", "1 hour", "TRADES", True, timeout=30) for i in range(51)]
    answers = await asyncio.gather(*asks)
    assert sum(1 for bars in answers if bars) == 50
    assert errors == [(322, "Error processing request:Only 50 simultaneous API historical data requests")]
    starts = sorted(began for began, _ in gateway_sim.served)
    assert starts[2] - starts[0] >= 0.049  # the third waited for a free slot
    assert gateway_sim.serving_seconds() >= 0.05 * 25  # two at a time, never more


@pytest.mark.parametrize("gateway_options", [{"latency": Latency(base=5.0)}], ids=["slow-gateway"])
async def test_cancel_during_the_latency_stops_the_answer(ib, gateway_sim):
    errors = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append(text)
    assert not await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "1 hour", "TRADES", True, timeout=0.1)
    await asyncio.wait_for(ib.reqCurrentTimeAsync(), 2)  # the cancel has been handled
    [cancel] = gateway_sim.cancel_requests
    assert any(text.endswith(f"API historical data query cancelled: {cancel.reqId}") for text in errors)
    [connection] = gateway_sim._connections
    assert connection.pending == {}
