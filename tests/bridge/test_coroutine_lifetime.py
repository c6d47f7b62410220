"""Closing and dropping C++ coroutines, and what they hold on to afterwards."""

import contextlib
import gc
import sys
import time
import tracemalloc
import types
import warnings
import weakref

import pytest

import quorvane.cmds.quotes.kline as kline
from support.bridge_probes import Marker, suspend

SILENT = types.SimpleNamespace(info=lambda *args: None)


class Tracker:
    """An inner coroutine that holds a Marker while suspended and notes its `finally`."""

    def __init__(self):
        self.calls, self.finished = 0, False
        self.held = None

    async def __call__(self, rest):
        self.calls += 1
        marker = Marker()
        self.held = weakref.ref(marker)
        try:
            await suspend()
            await suspend()
        finally:
            self.finished = True
        return marker


@pytest.fixture
def tracker(command):
    command._kline_yfinance = Tracker()
    return command._kline_yfinance


def test_close_reports_an_inner_that_ignores_generator_exit(command):
    held = []

    async def stubborn(rest):  # ignores the first close only, so it can still be collected
        marker = Marker()
        held.append(weakref.ref(marker))
        try:
            await suspend()
        except GeneratorExit:
            await suspend()

    command._kline_yfinance = stubborn
    coro = command._run_yfinance([])
    coro.send(None)
    with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
        coro.close()
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    assert held[0]() is None


def _collect_warnings():
    """Runs the collector, returning the categories of the warnings it caused."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gc.collect()
    return [w.category for w in caught]


@pytest.mark.parametrize("ending", ["close", "drop"])
@pytest.mark.parametrize("steps", [0, 1, 2, 3], ids=["before start", "suspended", "suspended twice", "after finish"])
def test_ending_a_coroutine_releases_everything(command, tracker, log_calls, ending, steps):
    coro = command._run_yfinance([])
    alive = weakref.ref(coro)
    for _ in range(steps):
        next(coro, None)
    if ending == "close":
        assert coro.close() is None and coro.cr_await is None
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
    del coro
    assert ResourceWarning not in _collect_warnings() and alive() is None
    assert tracker.calls == len(log_calls) == (steps > 0)  # no work before the first step
    assert tracker.finished == (steps > 0)  # the awaited coroutine was closed: `finally` ran
    assert tracker.held is None or tracker.held() is None


@pytest.mark.parametrize("through", ["awaited coroutine", "command object"])
def test_dropping_a_cycle_through_the_cpp_frame_is_collected(through):
    # The frame's parameters and the awaited object must be visible to the collector.
    box = {}

    async def inner(rest):
        me = box.pop("outer", None)  # when set: the outer coroutine, reachable only via the frame
        await suspend()
        return me

    command = kline.IOpKline()
    command.symbol, command._kline_yfinance = "CYCLE", inner
    coro = command._run_yfinance([])
    if through == "awaited coroutine":
        box["outer"] = coro
    else:
        command.pending = coro
    coro.send(None)
    alive = weakref.ref(coro)
    del coro, command
    assert ResourceWarning not in _collect_warnings() and alive() is None


@pytest.mark.parametrize("outcome", ["value", "error"])
def test_round_trips_leak_no_references_or_memory(command, outcome, monkeypatch):
    monkeypatch.setattr(kline, "logger", SILENT)  # a recording logger would keep every argument
    rest = ["5m"]  # the sentinel argument each round trip carries through

    async def inner(words):
        if outcome == "error":
            raise LookupError(words)
        return words

    command._kline_yfinance = inner

    def round_trips(count):
        for _ in range(count):
            with contextlib.suppress(StopIteration, LookupError):
                command._run_yfinance(rest).send(None)

    round_trips(1000)  # warm caches before measuring
    gc.collect()
    refs = sys.getrefcount(rest)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        started = time.perf_counter()
        round_trips(100_000)
        elapsed = time.perf_counter() - started
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    print(f"\n100000 {outcome} round trips: {elapsed:.2f} s under tracemalloc, {grown} bytes kept")
    assert sys.getrefcount(rest) == refs
    assert grown < 64 * 1024
