"""Pacing limits on their own clock, and answers that take time."""

import asyncio
import datetime as dt

import pytest
from ib_async import Stock

from ibsim import Latency, Pacing

AAPL = Stock("AAPL", "SMART", "USD")


def burst(times, contract="AAPL", weight=1):
    """Distinct requests for one contract at the given times."""
    return [(t, f"{contract}-{i}", contract, weight) for i, t in enumerate(times)]


@pytest.mark.parametrize(
    "made, admitted",
    [([(0, "A", "X", 1), (14.9, "A", "X", 1)], [True, False]),
     ([(0, "A", "X", 1), (15, "A", "X", 1)], [True, True]),
     ([(0, "A", "X", 1), (10, "A", "X", 1), (20, "A", "X", 1)], [True, False, False]),
     (burst([0, 0.1, 0.2, 0.3, 0.4, 0.5]), [True] * 5 + [False]),
     (burst([0, 0.4, 0.8, 1.2, 1.6, 2.0]), [True] * 6),
     (burst([0, 0.1, 0.2]) + burst([0.3, 0.4, 0.5], contract="MSFT"), [True] * 6),
     (burst([0, 0.5, 1.0], weight=2), [True, True, False]),
     ([(5 * i, i, i % 5, 1) for i in range(61)], [True] * 60 + [False]),
     ([(10 * i, i, i % 5, 1) for i in range(61)], [True] * 61)],
    ids=["identical-within-15s", "identical-after-15s", "refused-requests-count-too",
         "sixth-for-a-contract-within-2s", "six-spread-over-2s", "other-contracts-apart",
         "bid-ask-counts-twice", "sixty-first-in-ten-minutes", "ten-minutes-slide"],
)  # fmt: skip
def test_pacing_limits(made, admitted):
    clock = iter(t for t, *_ in made)
    pacing = Pacing(lambda: next(clock))
    assert [pacing.admit(request, contract, weight) for _, request, contract, weight in made] == admitted


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


@pytest.fixture
def pacing_clock():
    return FakeClock()


@pytest.fixture
def gateway_options(pacing_clock):
    return {"pacing": True, "pacing_clock": pacing_clock}


@pytest.fixture
def gateway_clock():
    return dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.UTC)


async def test_pacing_violation_is_answered_and_passes(ib, pacing_clock):
    errors = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append((code, text))
    async def ask() -> list:
        return list(await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "1 hour", "TRADES", True, timeout=5))

    assert await ask()
    assert await ask() == []
    assert errors == [(162, "Historical Market Data Service error message:Historical data request pacing violation")]
    pacing_clock.now += 15
    assert await ask()


@pytest.mark.parametrize("gateway_options", [{"latency": Latency(base=5.0)}], ids=["slow-gateway"])
async def test_cancel_during_the_latency_stops_the_answer(ib, gateway_sim):
    errors = []
    ib.errorEvent += lambda req_id, code, text, contract: errors.append(text)
    assert not await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "1 hour", "TRADES", True, timeout=0.1)
    await asyncio.wait_for(ib.reqCurrentTimeAsync(), 2)  # the cancel has been handled
    [cancel] = gateway_sim.cancel_requests
    assert any(text.endswith(f"API historical data query cancelled: {cancel.reqId}") for text in errors)
    [session] = gateway_sim._sessions
    assert session.pending == {}
