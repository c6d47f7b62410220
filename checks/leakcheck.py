"""Memory under a long mixed workload: it must stay flat once the bar cache is full.

    python -m checks.leakcheck [--requests N] [--seed S]        (make leakcheck)

Runs N kline requests (100,000 by default) as the host does, with a mix of everything that holds
or releases memory: cache hits, misses, error records, gateway exceptions handed to the fallback,
requests without a gateway, cancellations while a request waits, and coroutines dropped unstarted,
dropped half-stepped or closed half-stepped. The gateway is a stand-in that answers from memory
(a real suspension, no socket), so 100,000 requests take minutes rather than hours; the bar cache
is capped at CACHE_BARS bars, so it fills during the warm-up and then only evicts.

Every 10,000 requests it prints, after a full collection: memory traced by tracemalloc, bytes in
use by malloc (glibc's mallinfo2: C++ allocations included) and the number of objects the
collector tracks. Growth is judged over the windows after the first: exit status 1 when it is not
flat (more than GROWTH_LIMITS per 10,000 requests on average).
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ctypes
import datetime as dt
import gc
import random
import sys
import time
import tracemalloc
from collections import deque
from zoneinfo import ZoneInfo

from ib_async import BarData, BarDataList, Stock

from checks import harness
from fixtures.yf import FakeYfinance, make_history_frame
from quorvane.cmds.base import run_command

WINDOW = 10_000
CACHE_BARS = 20_000
# Average growth per window after warm-up that still counts as flat.
GROWTH_LIMITS = {"traced": 64 * 1024, "malloc": 512 * 1024, "objects": 100}
# How often each kind of request comes up, out of the total of the weights.
MIX = {
    "cache hit": 30,
    "cache miss": 20,
    "error record": 8,
    "gateway exception": 8,
    "no gateway": 6,
    "cancelled while waiting": 10,
    "dropped unstarted": 6,
    "dropped half-stepped": 6,
    "closed half-stepped": 6,
}
NEW_YORK = ZoneInfo("America/New_York")


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL("libc.so.6")
_libc.mallinfo2.restype = _Mallinfo2


def malloc_in_use() -> int:
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd  # small blocks in the arenas, plus blocks mapped on their own


class Gateway:
    """The host's ib_async connection as the module meets it, answering from memory.

    `mode`: "bars" (fresh copies of canned bars), "empty", "raise" (a lost connection) or "wait"
    (no answer until cancelled).
    """

    def __init__(self) -> None:
        start = dt.datetime(2025, 6, 13, 9, 30, tzinfo=NEW_YORK)
        self.minute_bars = [_bar(start + dt.timedelta(minutes=i), i) for i in range(30)]
        self.day_bars = [_bar(dt.date(2025, 5, 1) + dt.timedelta(days=i), i) for i in range(30)]
        self.mode = "bars"

    async def reqHistoricalDataAsync(self, contract, **request):
        await asyncio.sleep(0)  # a gateway answer always arrives on a later turn of the loop
        if self.mode == "raise":
            raise ConnectionError("Socket disconnect")
        if self.mode == "wait":
            await asyncio.get_running_loop().create_future()
        if self.mode == "empty":
            return BarDataList()
        return BarDataList(self.day_bars if request["barSizeSetting"] == "1 day" else self.minute_bars)


class State:
    """The host state: connected (or not) to the Gateway stand-in, resolving every symbol."""

    def __init__(self, ib: Gateway, connected: bool) -> None:
        self.ib = ib
        self.connected = connected

    async def positionalQuoteRepopulate(self, symbol: str):
        await asyncio.sleep(0)
        return (symbol, Stock(symbol, "SMART", "USD", conId=1))


def _bar(when, i: int) -> BarData:
    price = 100.0 + i % 7
    return BarData(
        date=when,
        open=price,
        high=price + 1,
        low=price - 1,
        close=price + 0.5,
        volume=1000 + i,
        average=price + 0.25,
        barCount=10 + i,
    )


class Workload:
    def __init__(self, rng: random.Random, yfinance: FakeYfinance) -> None:
        self.rng = rng
        self.yfinance = yfinance
        self.gateway = Gateway()
        self.online = State(self.gateway, True)
        self.offline = State(self.gateway, False)
        self.frames = {"daily": make_history_frame(30, "1d"), "minutes": make_history_frame(30, "5m")}
        self.recent: deque[list[str]] = deque(maxlen=50)  # lines asked lately, which the cache holds
        self.kinds = list(MIX)
        self.weights = list(MIX.values())

    async def request(self) -> None:
        kind = self.rng.choices(self.kinds, self.weights)[0]
        self.gateway.mode = {
            "error record": "empty",
            "gateway exception": "raise",
            "cancelled while waiting": "wait",
        }.get(kind, "bars")
        self.yfinance.respond_with(FakeYfinance.EMPTY if kind == "error record" else self.frames["daily"])
        words = self.rng.choice(self.recent) if kind == "cache hit" and self.recent else self._new_words()
        state = self.offline if kind == "no gateway" else self.online
        if kind == "cancelled while waiting":
            await self._cancelled(words, state)
        elif kind.endswith("half-stepped") or kind == "dropped unstarted":
            self._abandoned(kind, words, state)
        else:
            await run_command(["kline", *words], state=state, ib=self.gateway)
            self.recent.append(words)

    def _new_words(self) -> list[str]:
        shape = self.rng.random()
        if shape < 0.6:
            return ["AAPL", self.rng.choice(("5m", "1m", "day", "d")), str(self.rng.randrange(1, 5000))]
        if shape < 0.9:
            start = dt.date(2025, 1, 1) + dt.timedelta(days=self.rng.randrange(120))
            return ["MSFT", start.isoformat(), (start + dt.timedelta(days=self.rng.randrange(1, 60))).isoformat()]
        return [self.rng.choice(("AAPL", "MSFT", "NVDA")), "intraday"]

    async def _cancelled(self, words: list[str], state: State) -> None:
        task = asyncio.create_task(run_command(["kline", *words], state=state, ib=self.gateway))
        for _ in range(self.rng.randrange(1, 6)):  # from resolving the symbol to waiting for bars
            await asyncio.sleep(0)
        task.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await task

    def _abandoned(self, kind: str, words: list[str], state: State) -> None:
        command = harness.kline.IOpKline(state=state, ib=self.gateway)
        command.symbol, command.rest = words[0], words[1:]
        coroutine = command.run()
        try:
            for _ in range(0 if kind == "dropped unstarted" else self.rng.randrange(1, 4)):
                coroutine.send(None)
        except StopIteration:
            return
        if kind == "closed half-stepped":
            coroutine.close()


def measure() -> dict[str, int]:
    gc.collect()
    return {"traced": tracemalloc.get_traced_memory()[0], "malloc": malloc_in_use(), "objects": len(gc.get_objects())}


async def check(requests: int, seed: int) -> tuple[str, bool]:
    fake = harness.install_yfinance()
    fake.calls = deque(maxlen=1)  # the stand-in would otherwise keep every call
    harness.set_printer(harness.discard)
    cache = harness.memory_cache()
    cache.max_bars = CACHE_BARS
    harness.kline._kline_cache = cache
    workload = Workload(random.Random(seed), fake)
    tracemalloc.start()
    started = time.perf_counter()
    rows = []
    for done in range(1, requests + 1):
        await workload.request()
        if done % WINDOW == 0:
            rows.append((done, measure()))
            print(_row(rows), flush=True)
    elapsed = time.perf_counter() - started
    tracemalloc.stop()
    return _verdict(rows, requests, elapsed)


def _row(rows) -> str:
    done, now = rows[-1]
    if len(rows) == 1:
        return (
            f"{'requests':>9} {'traced':>12} {'malloc':>12} {'gc objects':>11}   (then growth per window)\n"
            f"{done:>9,} {now['traced'] / 2**20:>10.2f}MB {now['malloc'] / 2**20:>10.2f}MB {now['objects']:>11,}"
        )
    before = rows[-2][1]
    growth = {name: now[name] - before[name] for name in now}
    return (
        f"{done:>9,} {growth['traced'] / 1024:>+10.1f}KB {growth['malloc'] / 1024:>+10.1f}KB {growth['objects']:>+11,}"
    )


def _verdict(rows, requests: int, elapsed: float) -> tuple[str, bool]:
    lines = [f"leakcheck: {requests:,} requests in {elapsed:.1f} s ({requests / elapsed:,.0f}/s)"]
    if len(rows) < 3:
        return "\n".join([*lines, "too few windows to judge growth (needs 3)"]), True
    (first, start), (last, end) = rows[1], rows[-1]
    windows = (last - first) / WINDOW
    average = {name: (end[name] - start[name]) / windows for name in end}
    flat = all(average[name] <= limit for name, limit in GROWTH_LIMITS.items())
    lines.append(
        f"growth per {WINDOW:,} requests after warm-up ({first:,} to {last:,}): "
        f"traced {average['traced'] / 1024:+.1f} KB, malloc {average['malloc'] / 1024:+.1f} KB, "
        f"gc objects {average['objects']:+.0f}: {'flat' if flat else 'GROWING'}"
    )
    return "\n".join(lines), flat


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="leakcheck", description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    with harness.quiet():
        text, flat = asyncio.run(check(args.requests, args.seed))
    print(text)
    return 0 if flat else 1


if __name__ == "__main__":
    sys.exit(main())
