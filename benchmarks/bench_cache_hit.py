"""A cache hit through the host against the cost of one log line.

    hit:  quorvane.cmds.base.run_command(["kline", "AAPL", "day", "100"]) with a connected host
          state, after a first run filled the bar cache: the host binds the words, resolves the
          symbol, and the module answers from the cache with its one log line.
    log:  that log line alone, logger.info("[{}] kline exact cache hit: {} {} {}", ...), in a loop;
          and the same line where it is logged, within the hit: the hit's cost less that of a hit
          whose module logs to a logger that drops the line unformatted.

Lines go through the host's own console (quorvane.console) to a terminal, as they do for a
trader (a pseudo-terminal whose other end a thread reads), and in the host's format to /dev/null,
the cheapest line there is. Code that runs between two lines evicts the logger's code and data from the processor
caches, so a line logged between the hit's other work costs more than the same line in a tight
loop; both ratios are printed.

    .venv/bin/python benchmarks/bench_cache_hit.py
"""

from __future__ import annotations

import asyncio
import copy
import os
import sys
import threading
from contextlib import contextmanager, redirect_stderr
from datetime import date

from ib_async import BarData
from loguru import logger

import quorvane.cmds.quotes.kline as kline
from quorvane.cmds.base import run_command
from quorvane.console import LOG_FORMAT, configure_logging
from quorvane.state import HostState
from timing import per_call

WORDS = ["kline", "AAPL", "day", "100"]
CALLS, BATCHES = 2_000, 7


class StandInGateway:
    """Qualifies any stock and answers any history request with the same daily bars."""

    def __init__(self) -> None:
        self.bars = [
            BarData(
                date=date(2025, 1, d), open=1.5, high=2.5, low=0.5, close=2.25, volume=10.0, average=1.75, barCount=3
            )
            for d in range(1, 29)
        ]

    def isConnected(self) -> bool:
        return True

    async def qualifyContractsAsync(self, *contracts, returnAll=False):
        qualified = [copy.copy(c) for c in contracts]
        for contract in qualified:
            contract.conId = 265598
        return qualified

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        return self.bars


class SilentLogger:
    """The module's logger for the hit without its line: the call is made, nothing is formatted."""

    def info(self, *args) -> None:
        pass


def hit_time(silent: bool = False) -> float:
    kline.logger = SilentLogger() if silent else logger
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
    hit_s, rest_s, loop_s = hit_time(), hit_time(silent=True), per_call(log_lines, CALLS, BATCHES)
    line_s = hit_s - rest_s
    print(
        f"  {sink:<10} {hit_s * 1e6:>9.1f} {rest_s * 1e6:>9.1f} {line_s * 1e6:>9.1f} {loop_s * 1e6:>9.1f}"
        f" {hit_s / line_s:>8.2f}x {hit_s / loop_s:>8.2f}x",
        flush=True,
    )


@contextmanager
def terminal():
    """A pseudo-terminal to write to; a thread reads and drops what arrives, as a terminal shows it."""
    main_fd, side_fd = os.openpty()
    reader = threading.Thread(target=_drain, args=(main_fd,), daemon=True)
    reader.start()
    with open(side_fd, "w", buffering=1) as stream:
        yield stream
    reader.join(timeout=1)
    os.close(main_fd)


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 65536):
            pass
    except OSError:  # the other side closed
        pass


def main() -> None:
    kline.printFrame = lambda frame, title: None
    logger.remove()
    print(f"Python {sys.version.split()[0]}; microseconds per call (best of {BATCHES} batches of {CALLS})")
    print("  log sink         hit  the rest  its line   in loop  hit/line  hit/loop line")
    with terminal() as tty, redirect_stderr(tty):
        configure_logging()  # the runner's console, writing to the stderr of the moment
        show("terminal")
        logger.remove()
    with open(os.devnull, "w") as devnull:
        handler = logger.add(devnull, format=LOG_FORMAT, colorize=False)
        show("/dev/null")
        logger.remove(handler)
    kline.logger = logger


if __name__ == "__main__":
    main()
