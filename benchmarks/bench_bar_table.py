"""Bar table and bar records: the plain pandas pipeline, the kline module, and the allocation floor.

    plain:  kline._strip_tz(DataFrame(bars).convert_dtypes()).to_dict(orient="records")
    module: IOpKline._kline from the gateway's bar list to the returned record (table,
            records, cache store), with a stand-in gateway and a printer that prints nothing.
    floor:  the same number of 8-key record dicts, built with the collector off from columns of
            values that already exist (the module's own records): what any builder must pay.

Times are the best of N runs (N shrinks as the bars grow); the release of the previous run's
records (the module's cache entry) happens before the clock starts. Memory is the rise of the
peak resident set over the resident set after the bars were built, measured in a fresh process
per figure so neither side inherits the other's freed pages.

    .venv/bin/python benchmarks/bench_bar_table.py [--sizes 1000,10000] [--kinds intraday]
                                                    [--no-memory]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import random
import resource
import subprocess
import sys
from datetime import date, datetime, timedelta
from zoneinfo import ZoneInfo

import pandas as pd
from ib_async import BarData, Stock

import quorvane.cmds.quotes.kline as kline
from timing import best_time, quiet_module

SIZES = (1_000, 10_000, 100_000, 1_000_000)
KINDS = ("intraday", "daily")
REPEATS = {1_000: 21, 10_000: 9, 100_000: 5, 1_000_000: 3}
PLAIN_REPEATS = {1_000: 21, 10_000: 5, 100_000: 2, 1_000_000: 1}  # the plain pipeline is slow
EXCHANGE = ZoneInfo("US/Eastern")
CONTRACT = Stock("AAPL", "SMART", "USD")
SESSION_MINUTES = 390


# ---------------------------------------------------------------- bars as ib_async decodes them


def bar_times(kind: str, n: int) -> list:
    """Session minutes in the exchange zone, or one calendar date per weekday."""
    if kind == "intraday":
        first = datetime(2020, 1, 2, 9, 30, tzinfo=EXCHANGE)
        return [first + timedelta(days=i // SESSION_MINUTES, minutes=i % SESSION_MINUTES) for i in range(n)]
    days, day = [], date(1990, 1, 2)
    while len(days) < n:
        if day.weekday() < 5:
            days.append(day)
        day += timedelta(days=1)
    return days


def make_bars(kind: str, n: int) -> list[BarData]:
    rng = random.Random(7)
    price, bars = 187.25, []
    for when in bar_times(kind, n):
        price = max(1.0, round(price + rng.choice((-0.03, -0.01, 0.0, 0.01, 0.02)), 2))
        high, low = round(price + rng.random() / 4, 2), round(price - rng.random() / 4, 2)
        bars.append(
            BarData(
                date=when,
                open=price,
                high=high,
                low=low,
                close=round((high + low) / 2, 2),
                volume=float(rng.randrange(100, 50_000, 100)),
                average=round((high + low + price) / 3, 4),
                barCount=rng.randrange(1, 400),
            )
        )
    return bars


# ---------------------------------------------------------------- the three sides


def plain(bars: list[BarData]) -> list[dict]:
    df = kline._strip_tz(pd.DataFrame(bars).convert_dtypes())
    return df.to_dict(orient="records")


class StandInGateway:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        return self.bars


class ModuleRun:
    """`run()` fetches every bar through _kline; `reset()` drops the cache, and with it the
    previous run's records, so each run builds its table and records anew."""

    def __init__(self, bars: list[BarData]) -> None:
        self.cmd = kline.IOpKline(ib=StandInGateway(bars))
        self.cmd.symbol = "AAPL"
        self.words = ["day", str(len(bars))]  # a count that keeps every bar
        self.loop = asyncio.new_event_loop()

    def reset(self) -> None:
        kline._kline_cache = None

    def run(self) -> list[dict]:
        return self.loop.run_until_complete(self.cmd._kline(CONTRACT, self.words))["bars"]


def floor_run(records: list[dict]):
    """Builds records like `records` from their values, as cheaply as Python can."""
    columns = [[record[key] for record in records] for key in records[0]]

    def floor() -> list[dict]:
        gc.disable()
        try:
            return [
                {"date": d, "open": o, "high": h, "low": lo, "close": c, "volume": v, "average": a, "barCount": n}
                for d, o, h, lo, c, v, a, n in zip(*columns, strict=True)
            ]
        finally:
            gc.enable()

    return floor


def run_once(side: str, bars: list[BarData]) -> list[dict]:
    if side == "plain":
        return plain(bars)
    module = ModuleRun(bars)
    return module.run()


# ---------------------------------------------------------------- memory


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def reset_peak() -> bool:
    """Restart the kernel's peak-RSS mark (Linux); False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def peak_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def probe_memory(side: str, kind: str, n: int) -> None:
    """Runs in the child process: one side, once; prints the peak rise in bytes."""
    quiet_module()
    run_once(side, make_bars(kind, 10))  # imports and first-call set-up are not the figure
    bars = make_bars(kind, n)
    gc.collect()
    if not reset_peak():
        print("nan")
        return
    before = resident_bytes()
    result = run_once(side, bars)
    print(peak_bytes() - before)
    del result


def measured_memory(side: str, kind: str, n: int) -> float:
    answer = subprocess.run(
        [sys.executable, __file__, "--probe", side, kind, str(n)], capture_output=True, text=True, check=True
    )
    return float(answer.stdout.split()[-1]) / 2**20


# ---------------------------------------------------------------- the table


def compare(kind: str, n: int, memory: bool) -> str:
    bars = make_bars(kind, n)
    module = ModuleRun(bars)
    module_s = best_time(module.run, REPEATS[n], reset=module.reset)
    floor_s = best_time(floor_run(module.run()), REPEATS[n])
    module.reset()
    plain_s = best_time(lambda: plain(bars), PLAIN_REPEATS[n])
    row = (
        f"{n:>9,}  {kind:<8}  {plain_s:>8.4f}  {module_s:>8.4f}  {plain_s / module_s:>6.1f}x"
        f"  {floor_s:>8.4f}  {module_s / floor_s:>6.2f}x"
    )
    if memory:
        del bars, module
        row += f"  {measured_memory('plain', kind, n):>8.1f}  {measured_memory('module', kind, n):>8.1f}"
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--probe", nargs=3, metavar=("SIDE", "KIND", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        side, kind, n = args.probe
        return probe_memory(side, kind, int(n))

    quiet_module()
    memory = not args.no_memory
    print(
        f"pandas {pd.__version__}, Python {sys.version.split()[0]}; seconds, best of "
        + ", ".join(f"{REPEATS[n]} ({PLAIN_REPEATS[n]} plain) at {n:,}" for n in SIZES)
    )
    header = "     bars  kind         plain    module  vs plain     floor  vs floor"
    print(header + ("  plain MB  module MB" if memory else ""))
    for n in map(int, args.sizes.split(",")):
        for kind in args.kinds.split(","):
            print(compare(kind, n, memory), flush=True)


if __name__ == "__main__":
    main()
