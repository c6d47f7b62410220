"""Timing and quieting helpers shared by the benchmarks."""

from __future__ import annotations

import time
from collections.abc import Callable

from loguru import logger

import quorvane.cmds.quotes.kline as kline


def best_time(run: Callable[[], object], repeats: int, reset: Callable[[], None] | None = None) -> float:
    """The best of `repeats` timed runs; `reset` runs before each, untimed, as does the release of
    the previous run's result."""
    best = float("inf")
    for _ in range(repeats):
        if reset is not None:
            reset()
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def per_call(run: Callable[[int], None], calls: int, batches: int) -> float:
    """Seconds per call: `run(calls)` makes `calls` calls; the best of `batches` batches."""
    return best_time(lambda: run(calls), batches) / calls


def quiet_module() -> None:
    """No log sink and a printer that prints nothing: the figures are the module's own work."""
    logger.remove()
    kline.printFrame = lambda frame, title: None
