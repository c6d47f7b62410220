"""Time to fallback on a gateway's bad days: each simulator scenario, in one process.

refusals:  from `kline AAPL day 5` starting to the public-data fallback being called, for the
           first request (the gateway says no) and a second one (the host already knows)
connect:   from connecting to giving up or being connected (326: the next client id)

.venv/bin/python benchmarks/bench_bad_days.py
"""

from __future__ import annotations

import asyncio
import logging
import sys
import time
from pathlib import Path

from loguru import logger

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import quorvane.cmds.quotes.kline as kline
from ibsim import GatewaySimulator
from quorvane.state import HostState

REQUEST_SCENARIOS = ("no-permissions", "competing-session", "nightly-reset", "farm-broken", "delayed-only")
CONNECT_SCENARIOS = ("client-id-in-use", "not-logged-in")


class TimedFallback(kline.IOpKline):
    async def _run_yfinance(self, rest):
        return {"fallback_at": time.perf_counter()}


async def one_request(state: HostState) -> str:
    command = TimedFallback(state=state, ib=state.ib)
    command.symbol, command.rest = "AAPL", ["day", "5"]
    started = time.perf_counter()
    record = await asyncio.wait_for(command.run(), 90)
    if "fallback_at" in record:
        return f"{(record['fallback_at'] - started) * 1000:8.1f} ms to fallback"
    source = "the cache" if record.get("cached") else "the gateway"
    return f"{(time.perf_counter() - started) * 1000:8.1f} ms, served by {source}"


async def scenario(name: str) -> None:
    sim = GatewaySimulator(scenario=name, pacing=False, latency=None)
    await sim.start("127.0.0.1", 0)
    state = HostState()
    kline._kline_cache = None
    try:
        started = time.perf_counter()
        connected = await state.connect("127.0.0.1", sim.port, 1)
        took = (time.perf_counter() - started) * 1000
        if name in CONNECT_SCENARIOS:
            outcome = f"as client {connected.client.clientId}" if connected else "gave up"
            print(f"  {name:18} connect {took:8.1f} ms, {outcome}")
            return
        first, second = await one_request(state), await one_request(state)
        print(f"  {name:18} first {first}; second {second}")
    finally:
        state.disconnect()
        await sim.stop()


async def main() -> None:
    logger.remove()
    logging.getLogger("ib_async").setLevel(logging.CRITICAL)
    kline.printFrame = lambda frame, title: None
    print("time to fallback on a gateway's bad days (simulator, loopback)")
    for name in REQUEST_SCENARIOS + CONNECT_SCENARIOS:
        await scenario(name)


if __name__ == "__main__":
    asyncio.run(main())
