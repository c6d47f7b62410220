"""A year of minute bars through the module, against the simulator at its default latency.

    wall      seconds from the command to its record
    serving   seconds in which the simulator was serving at least one of the chunks (its own
              latency: 0.2 s a request plus 1 ms a bar, a few requests at once)
    ratio     wall / serving: what the host adds on top of the gateway's own time

It also checks the answer: every bar of the range, in order, none twice.

    .venv/bin/python benchmarks/bench_history.py [--range 2025-01-01,2025-12-31] [--period 1m]
                                                 [--chunk-bars 2000]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import time
from itertools import pairwise

os.environ["KLINE_CACHE_URL"] = "memory:"  # nothing lands in the user's bar store

from ibsim import GatewaySimulator
from quorvane import api
from quorvane.gateway import chunks
from quorvane.gateway.client import GatewayClient
from timing import quiet_module


async def run(start: str, end: str, period: str) -> None:
    sim = GatewaySimulator()  # the default latency and serving slots
    ib = GatewayClient()
    await ib.connectAsync("127.0.0.1", await sim.start(), clientId=1, timeout=10)
    try:
        began = time.monotonic()
        record = await api.kline_async("AAPL", start, end, period, gateway=ib)
        wall = time.monotonic() - began
    finally:
        ib.disconnect()
        await sim.stop()
    stamps = [bar["date"] for bar in record["bars"]]
    in_order = all(a < b for a, b in pairwise(stamps))
    serving = sim.serving_seconds(began)
    print(
        f"kline AAPL {start} {end} {period}: {len(stamps):,} bars, {len(sim.history_requests)} chunks sent, "
        f"in order and without duplicates: {in_order}"
    )
    print(f"wall {wall:.1f} s, simulator serving {serving:.1f} s, ratio {wall / serving:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--range", default="2025-01-01,2025-12-31")
    parser.add_argument("--period", default="1m")
    parser.add_argument("--chunk-bars", type=int, default=chunks.CHUNK_BARS, help="bars a chunk aims at")
    args = parser.parse_args()
    chunks.CHUNK_BARS = args.chunk_bars
    quiet_module()
    start, end = args.range.split(",")
    asyncio.run(run(start, end, args.period))


if __name__ == "__main__":
    main()
