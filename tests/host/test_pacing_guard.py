"""The host keeps the gateway's pacing limits by waiting, never by drawing a 162."""

import asyncio
import itertools

import pytest
from ib_async import Stock

from fixtures.redis_server import RedisServer, free_port
from ibsim import GatewaySimulator
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.pacing import MemoryLedger, Pacer, PacingLimits, RedisLedger

LIMITS = PacingLimits()
MARGIN = LIMITS.margin


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


class CountingLedger(MemoryLedger):
    let_go = 0

    def try_send(self, *args) -> float:
        wait = super().try_send(*args)
        self.let_go += wait == 0
        return wait


def sends(ledger, clock, requests) -> list[float]:
    """Send (request, contract, weight) tuples one after another, waiting as told; their send times."""
    times = []
    for request, contract, weight in requests:
        while (wait := ledger.try_send(request, contract, weight)) > 0:
            clock.now += wait
        times.append(clock.now - 1000.0)
    return times


@pytest.mark.parametrize(
    "requests, expected",
    [
        ([("r", "c", 1)] * 2, [0, 15 + MARGIN]),
        ([(f"r{i}", "c", 1) for i in range(6)], [0] * 5 + [2 + MARGIN]),
        ([("r0", "c", 2), ("r1", "c", 2), ("r2", "c", 2)], [0, 0, 2 + MARGIN]),
        ([(f"r{i}", f"c{i}", 1) for i in range(61)], [0] * 60 + [600 + MARGIN]),
        ([(f"r{i}", f"c{i % 7}", 1) for i in range(12)], [0] * 12),
    ],
    ids=["identical-within-15s", "sixth-for-one-contract-within-2s", "bid-ask-counts-twice",
         "sixty-first-within-10-minutes", "other-contracts-do-not-wait"],
)
def test_ledger_waits_out_each_limit(requests, expected):
    clock = FakeClock()
    assert sends(MemoryLedger(LIMITS, clock), clock, requests) == pytest.approx(expected)


async def test_a_burst_of_100_requests_draws_no_pacing_violation(log_lines):
    clock = FakeClock()
    sim = GatewaySimulator(pacing=True, pacing_clock=clock, latency=None)
    ledger = CountingLedger(LIMITS, clock)

    async def sleep(seconds):  # time passes only once every request let go has reached the gateway
        while len(sim.history_requests) < ledger.let_go:
            await asyncio.sleep(0.001)
        clock.now += seconds

    client = GatewayClient(pacer=Pacer(ledger, sleep=sleep))
    await client.connectAsync("127.0.0.1", await sim.start(), clientId=1, timeout=5)
    stocks = [Stock(symbol, "SMART", "USD") for symbol in ("AAPL", "MSFT", "SPY", "TSLA", "NVDA", "QQQ")]

    def request(i):
        return client.reqHistoricalDataAsync(stocks[i % 6], "", f"{1 + i // 6} D", "1 hour", "TRADES", True)

    try:
        # 80 at once, ten of them asked twice; then 20 more, ten repeating earlier ones within 15 s.
        first = await asyncio.wait_for(asyncio.gather(*(request(i) for i in [*range(70), *range(10)])), 30)
        second = await asyncio.wait_for(asyncio.gather(*(request(i) for i in [*range(70, 80), *range(60, 70)])), 30)
    finally:
        client.disconnect()
        await sim.stop()
    assert all(bars for bars in first + second)  # a pacing violation would have come back empty
    assert len(sim.history_requests) == 90  # identical requests in flight were sent once
    assert clock.now - 1000.0 > 600  # the 61st request waited for the ten-minute window
    assert any("waiting" in line and "for the gateway's pacing limit" in line for line in log_lines)


def test_a_desk_shares_one_budget_through_redis(redis_url, log_lines):
    clock = FakeClock()
    terminals = [RedisLedger(redis_url, LIMITS, clock) for _ in range(2)]
    sent = [sends(ledger, clock, [(f"r{i}", "c", 1)]) for i, ledger in zip(range(6), itertools.cycle(terminals))]
    assert sent == [[0]] * 5 + [[pytest.approx(2 + MARGIN)]]  # the sixth, from either terminal, waits
    assert sends(terminals[1], clock, [("r0", "c", 1)]) == [pytest.approx(15 + MARGIN)]  # the first's, repeated
    assert log_lines == []


def test_an_unreachable_budget_server_leaves_each_terminal_its_own(closed_port, log_lines):
    clock = FakeClock()
    ledger = RedisLedger(f"redis://127.0.0.1:{closed_port}/0", LIMITS, clock)
    assert sends(ledger, clock, [("r", "c", 1)] * 2 + [("s", "c", 1)]) == [0, 15 + MARGIN, 15 + MARGIN]
    assert len(log_lines) == 1 and log_lines[0].startswith("WARNING|Pacing budget on redis://127.0.0.1:")


@pytest.mark.parametrize("request_after, waited", [(("r5", "c", 1), 2 + MARGIN), (("r0", "c", 1), 15 + MARGIN)],
                         ids=["sixth-for-one-contract", "identical"])
def test_a_terminal_whose_budget_server_stops_counts_what_it_sent_before(tmp_path, request_after, waited):
    clock = FakeClock()
    server = RedisServer(free_port())
    server.start(tmp_path)
    try:
        ledger = RedisLedger(server.url, LIMITS, clock)
        assert sends(ledger, clock, [(f"r{i}", "c", 1) for i in range(5)]) == [0] * 5
    finally:
        server.stop()
    assert sends(ledger, clock, [request_after]) == [pytest.approx(waited)]
