"""Many symbols at once: `kline SYM00,...,SYM99 day 250` against the simulator at its default latency.

    batch:      the 100 symbols fetched at once, within the cap on open requests
    one by one: the same 100, one symbol at a time
    bound:      the slowest chain the caps allow: ceil(100 / N) answers in a row, N the least of the
                host's cap on open requests and the simulator's serving slots, each as slow as the
                slowest the simulator served (its latency for that many bars)
    public data: the same 100 symbols without a gateway, through the real yfinance answered by the
                test suite's canned Yahoo (no network, no latency), against yf.download(threads=True)
                of the same symbols and period

Each run starts from an empty bar cache and a new session (symbols resolve again). The simulator
here is built with a universe of 100 stocks of its own; the host keeps its own policy.
A first, untimed run lets the simulator build its synthetic price paths, which cost it far more
than its latency; the timed runs see only the latency.

    .venv/bin/python benchmarks/bench_batch.py [--symbols 100] [--latency FIXED,PER_BAR]
"""

from __future__ import annotations

import argparse
import asyncio
import math
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))  # the canned Yahoo answers of the test suite
os.environ["KLINE_CACHE_URL"] = "memory:"

import quorvane.cmds.quotes.kline as kline  # noqa: E402
from fixtures.yf import canned_yahoo  # noqa: E402
from ibsim import GatewaySimulator, Latency, MarketParams, StockSpec, Universe  # noqa: E402
from ibsim.timing import DEFAULT_SERVING  # noqa: E402
from quorvane.batch import MAX_OPEN, fetch_all  # noqa: E402
from quorvane.gateway.client import GatewayClient  # noqa: E402
from quorvane.gateway.open_requests import OPEN_LIMIT  # noqa: E402
from quorvane.state import HostState  # noqa: E402

WORDS = ["day", "250"]
YF_PERIOD = "5y"  # what the fallback downloads for daily bars


class RecordedLatency:
    """The simulator's latency, noting the slowest answer it timed."""

    def __init__(self, latency: Latency) -> None:
        self.latency = latency
        self.slowest = 0.0

    def of(self, bars: int) -> float:
        delay = self.latency.of(bars)
        self.slowest = max(self.slowest, delay)
        return delay


def chains() -> int:
    """Requests answered side by side: the host client's cap on open requests, the simulator's
    serving slots and the batch's own bound, whichever is least."""
    return min(OPEN_LIMIT, DEFAULT_SERVING, MAX_OPEN)


def universe(count: int) -> tuple[list[str], Universe]:
    symbols = [f"SYM{i:02d}" for i in range(count)]
    stocks = [
        StockSpec(s, 900_000 + i, "NYSE", f"STOCK {s}", MarketParams(50.0 + i, 0.3, 5e6, 100.0, 0.01, 0.0))
        for i, s in enumerate(symbols)
    ]
    return symbols, Universe.of(stocks)


async def timed_batch(symbols: list[str], ib, limit: int) -> tuple[float, int]:
    """Seconds for one batch from an empty cache and a new session; how many symbols came from ibkr."""
    kline._kline_cache = None
    state = HostState(ib)
    start = time.perf_counter()
    records = await fetch_all("kline", symbols, WORDS, state, limit=limit)
    elapsed = time.perf_counter() - start
    return elapsed, sum(r.get("source") == "ibkr" for r in records)


async def gateway_figures(symbols: list[str], sim_universe: Universe, latency: Latency | None) -> None:
    sim = GatewaySimulator(sim_universe, **({"latency": latency} if latency else {}))
    recorded = sim.latency = RecordedLatency(sim.latency)
    port = await sim.start("127.0.0.1", 0)
    ib = GatewayClient()  # the host's own policy: the cap on open requests, pacing for small bars only
    await ib.connectAsync("127.0.0.1", port, clientId=1, timeout=10)
    try:
        await timed_batch(symbols, ib, MAX_OPEN)  # the simulator builds its price paths once, untimed
        recorded.slowest = 0.0
        batch, served = await timed_batch(symbols, ib, MAX_OPEN)
        cap = chains()
        bound = math.ceil(len(symbols) / cap) * recorded.slowest
        one_by_one, _ = await timed_batch(symbols, ib, 1)
    finally:
        ib.disconnect()
        await sim.stop()
    latency = recorded.latency
    print(
        f"simulator latency: {latency.base * 1000:.0f} ms + {latency.per_bar * 1e6:.0f} us a bar; "
        f"slowest answer {recorded.slowest * 1000:.0f} ms; {cap} answered side by side (host cap {OPEN_LIMIT}, "
        f"simulator serving {DEFAULT_SERVING})"
    )
    print(f"{'batch':<12}{batch:8.2f} s   ({served}/{len(symbols)} from ibkr)")
    print(f"{'bound':<12}{bound:8.2f} s   batch / bound = {batch / bound:.2f} (target <= 1.3)")
    print(f"{'one by one':<12}{one_by_one:8.2f} s   {one_by_one / batch:.1f}x the batch")


async def public_batch(symbols: list[str]) -> float:
    kline._kline_cache = None
    start = time.perf_counter()
    records = await fetch_all("kline", symbols, WORDS, HostState())
    elapsed = time.perf_counter() - start
    assert all(r.get("source") == "yfinance" for r in records), [r.get("error") for r in records][:3]
    return elapsed


def public_figures(symbols: list[str]) -> None:
    import yfinance

    warnings.simplefilter("ignore")  # yfinance's own pandas calls warn of pandas 4
    with tempfile.TemporaryDirectory() as folder, canned_yahoo(Path(folder)) as server:
        for symbol in symbols:
            server.add_symbol(symbol)
        ours = asyncio.run(public_batch(symbols))
        start = time.perf_counter()
        frame = yfinance.download(
            symbols, period=YF_PERIOD, interval="1d", threads=True, progress=False, auto_adjust=True
        )
        theirs = time.perf_counter() - start
    print(f"public data ({len(symbols)} symbols, canned Yahoo answers, no latency):")
    print(f"{'kline batch':<24}{ours:8.2f} s")
    print(f"{'yf.download threads':<24}{theirs:8.2f} s   ({frame.shape[0]} rows x {frame.shape[1]} columns)")


def _latency(text: str) -> Latency:
    fixed, per_bar = (float(part) for part in text.split(","))
    return Latency(fixed, per_bar)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--symbols", type=int, default=100)
    parser.add_argument("--latency", type=_latency, help="the simulator's latency, seconds: FIXED,PER_BAR")
    args = parser.parse_args()
    from timing import quiet_module

    quiet_module()
    symbols, sim_universe = universe(args.symbols)
    print(f"{args.symbols} symbols x kline {' '.join(WORDS)}")
    asyncio.run(gateway_figures(symbols, sim_universe, args.latency))
    public_figures(symbols)


if __name__ == "__main__":
    main()
