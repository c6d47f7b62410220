"""A cache hit through the host against the cost of one log line.

    hit:  quorvane.cmds.base.run_command(["kline", "AAPL", "day", "100"]) with a connected host
          state, after a first run filled the bar cache: the host binds the words, resolves the
          symbol, and the module answers from the cache with its one log line.
    log:  that log line alone, logger.info("[{}] kline exact cache hit: {} {} {}", ...), in a loop.

Lines go to /dev/null in the host's own format (quorvane.console.LOG_FORMAT), the cheapest line
there is; without a handler ("none") the hit is the work around its line. Code that runs between
two lines evicts the logger's code and data from the processor caches, so the line inside a hit
costs more than the same line in a loop.

    .venv/bin/python benchmarks/bench_cache_hit.py
"""

from __future__ import annotations

import asyncio
import copy
import os
import sys
from datetime import date

from ib_async import BarData
from loguru import logger

import quorvane.cmds.quotes.kline as kline
from quorvane.cmds.base import run_command
from quorvane.console import LOG_FORMAT
from quorvane.state import HostState
from timing import per_call

WORDS = ["kline", "AAPL", "day", "100"]
CALLS, BATCHES = 2_000, 7


class StandInGateway:
    """Qualifies any stock and answers any history request with the same daily bars."""

    def __init__(self) -> None:
        self.bars = [BarData(date=date(2025, 1, d), open=1.5, high=2.5, low=0.5, close=2.25, volume=10.0,
                             average=1.75, barCount=3) for d in range(1, 29)]  # fmt: skip

    def isConnected(self) -> bool:
        return True

    async def qualifyContractsAsync(self, *contracts, returnAll=False):
        qualified = [copy.copy(c) for c in contracts]
        for contract in qualified:
            contract.conId = 265598
        return qualified

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        return self.bars


def hit_time() -> float:
    state = HostState(StandInGateway())
    loop = asyncio.new_event_loop()

    async def hits(calls: int) -> None:
        for _ in range(calls):
            await run_command(WORDS, state=state, ib=state.ib)

    try:
        first = loop.run_until_complete(run_command(WORDS, state=state, ib=state.ib))
        assert "error" not in first, first
        return per_call(lambda calls: loop.run_until_complete(hits(calls)), CALLS, BATCHES)
    finally:
        loop.close()


def log_lines(calls: int) -> None:
    for _ in range(calls):
        logger.info("[{}] kline exact cache hit: {} {} {}", "AAPL", "day", 100, "none")


def show(sink: str) -> None:
    hit_s, log_s = hit_time(), per_call(log_lines, CALLS, BATCHES)
    ratio = f"{hit_s / log_s:>6.2f}x" if sink != "none" else ""
    print(f"  {sink:<10} {hit_s * 1e6:>10.1f} {log_s * 1e6:>10.1f} {ratio}", flush=True)


def main() -> None:
    kline.printFrame = lambda frame, title: None
    logger.remove()
    print(f"Python {sys.version.split()[0]}; microseconds per call (best of {BATCHES} batches of {CALLS})")
    print("  log sink     cache hit   log line   ratio")
    with open(os.devnull, "w") as devnull:
        handler = logger.add(devnull, format=LOG_FORMAT, colorize=False)
        show("/dev/null")
        logger.remove(handler)
    show("none")


if __name__ == "__main__":
    main()
