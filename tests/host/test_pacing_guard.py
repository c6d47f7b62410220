"""The host keeps the gateway's pacing limits by waiting for small bars, never by drawing a 162; larger
bars go at once, a few open at a time, and the ledger survives reconnects and a desk server's faults."""

import asyncio
import itertools

import pytest
from ib_async import Stock

from fixtures.redis_server import RedisServer, free_port
from ibsim import Fault, GatewaySimulator, Latency
from quorvane.gateway import pacing
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.open_requests import DeskSlots, LocalSlots
from quorvane.gateway.pacing import MemoryLedger, Pacer, PacingLimits, RedisLedger, is_small_bar
from support.clock import FakeClock

LIMITS = PacingLimits()
AAPL = Stock("AAPL", "SMART", "USD")
MARGIN = LIMITS.margin


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
    ids=[
        "identical-within-15s",
        "sixth-for-one-contract-within-2s",
        "bid-ask-counts-twice",
        "sixty-first-within-10-minutes",
        "other-contracts-do-not-wait",
    ],
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
        return client.reqHistoricalDataAsync(stocks[i % 6], "", f"{60 * (1 + i // 6)} S", "30 secs", "TRADES", True)

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


@pytest.mark.parametrize(
    "request_after, waited",
    [(("r5", "c", 1), 2 + MARGIN), (("r0", "c", 1), 15 + MARGIN)],
    ids=["sixth-for-one-contract", "identical"],
)
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


@pytest.mark.parametrize(
    "bar_size, small",
    [("1 secs", True), ("30 secs", True), ("1 min", False), ("5 mins", False), ("1 day", False), ("1 month", False)],
)
def test_only_bars_of_30_seconds_or_less_are_paced(bar_size, small):
    assert is_small_bar(bar_size) is small


class Sleeps(list):
    async def __call__(self, seconds):
        self.append(seconds)


@pytest.fixture
async def paced_sim():
    sim = GatewaySimulator(pacing=True, latency=None)
    await sim.start()
    yield sim
    await sim.stop()


async def test_100_different_daily_requests_go_in_a_row_without_waits(paced_sim, log_lines):
    sleeps = Sleeps()
    client = GatewayClient(pacer=Pacer(MemoryLedger(), sleep=sleeps))
    await client.connectAsync("127.0.0.1", paced_sim.port, clientId=1, timeout=5)
    try:
        answers = [
            await client.reqHistoricalDataAsync(AAPL, "", f"{i + 1} D", "1 day", "TRADES", True) for i in range(100)
        ]
    finally:
        client.disconnect()
    assert [len(bars) for bars in answers] == list(range(1, 101))
    assert sleeps == [] and not [line for line in log_lines if "waiting" in line]


async def test_a_request_paced_out_is_tried_again_after_a_pause(paced_sim, log_lines):
    sleeps = Sleeps()
    client = GatewayClient(pacer=Pacer(MemoryLedger(), sleep=sleeps))
    client.RaiseRequestErrors = True
    await client.connectAsync("127.0.0.1", paced_sim.port, clientId=1, timeout=5)
    paced_sim.inject(Fault.pacing_violation())
    paced_sim.inject(Fault.pacing_violation())
    try:
        bars = await client.reqHistoricalDataAsync(AAPL, "", "5 D", "1 day", "TRADES", True)
    finally:
        client.disconnect()
    assert len(bars) == 5 and sleeps == list(Pacer.PACING_BACKOFF[:2])
    assert "INFO|[AAPL] gateway asked to slow down (pacing); trying again in 5s" in log_lines


async def test_at_most_a_few_requests_are_open_at_once():
    sim = GatewaySimulator(pacing=True, latency=Latency(0.05, 0.0), serving=50)
    client = GatewayClient(pacer=Pacer(MemoryLedger(), slots=LocalSlots(3)))
    await client.connectAsync("127.0.0.1", await sim.start(), clientId=1, timeout=5)
    most = 0

    async def watch():
        nonlocal most
        while True:
            most = max([most, *(len(connection.pending) for connection in sim._connections)])
            await asyncio.sleep(0.005)

    watcher = asyncio.ensure_future(watch())
    try:
        asks = (client.reqHistoricalDataAsync(AAPL, "", f"{i + 1} D", "1 hour", "TRADES", True) for i in range(12))
        assert all(await asyncio.gather(*asks))
    finally:
        watcher.cancel()
        client.disconnect()
        await sim.stop()
    assert most == 3


async def test_a_reconnect_remembers_what_was_sent(paced_sim, monkeypatch):
    monkeypatch.setattr(pacing, "_gateway_ledgers", {})
    monkeypatch.setenv("KLINE_CACHE_URL", "memory:")
    ledgers = []
    for _ in range(2):
        client = GatewayClient()
        await client.connectAsync("127.0.0.1", paced_sim.port, clientId=1, timeout=5)
        ledgers.append(client.pacer.ledger)
        client.disconnect()
    assert ledgers[0] is ledgers[1]
    assert ledgers[0].try_send("r", "c") == 0 and ledgers[1].try_send("r", "c") > 14


def test_the_desk_ledger_survives_entries_it_does_not_understand_and_eviction(redis_url, log_lines):
    import redis

    server = redis.Redis.from_url(redis_url)
    clock = FakeClock()
    server.zadd(RedisLedger.KEY, {"v0-entry": clock.now, "a|b": clock.now, b"\xff|x|y|1": clock.now})
    ledger = RedisLedger(redis_url, LIMITS, clock)
    assert sends(ledger, clock, [(f"r{i}", "c", 1) for i in range(5)]) == [0] * 5
    server.delete(RedisLedger.KEY)  # evicted under allkeys-lru, or flushed
    assert sends(ledger, clock, [("r5", "c", 1)]) == [pytest.approx(2 + MARGIN)]
    assert server.zcard(RedisLedger.KEY) == 6  # put back, and the sixth added when it went
    assert [line.split(" (")[0] for line in log_lines] == [f"WARNING|Pacing budget on {redis_url} lost entries"]


async def test_a_desk_shares_its_open_requests(redis_url):
    terminals = [DeskSlots(redis_url, limit=2) for _ in range(2)]
    terminals[1].POLL = 0.01
    held = asyncio.Event()
    async with terminals[0].hold(5), terminals[0].hold(5):
        third = asyncio.ensure_future(_enter(terminals[1], held))
        await asyncio.sleep(0.05)
        assert not held.is_set()  # the desk's two are taken
    await asyncio.wait_for(third, 2)


async def _enter(slots, entered: asyncio.Event):
    async with slots.hold(5):
        entered.set()
