"""Start-up and chart timings, as a user at the terminal meets them.

start-up:  `python -m quorvane kline AAPL day 5 --sim` against
           `python -c "import pandas, ib_async, loguru"` (best of N runs each)
charts:    the terminal chart (120 x 30) and the PNG file of 1,000 to 40,000
           five-minute bars, in one process; the first chart of each kind also
           pays for loading its plotting library, shown on its own line.

.venv/bin/python benchmarks/bench_terminal.py [--runs 5] [--sizes 1000,10000,40000] [--skip-startup]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from functools import partial
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BASELINE = [sys.executable, "-c", "import pandas, ib_async, loguru"]
ONE_SHOT = [sys.executable, "-m", "quorvane", "kline", "AAPL", "day", "5", "--sim"]
SIZES = (1_000, 10_000, 40_000)


def best_wall_time(command: list[str], runs: int) -> float:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=ROOT, check=True)
        times.append(time.perf_counter() - started)
    return min(times)


def startup(runs: int) -> None:
    base, one_shot = best_wall_time(BASELINE, runs), best_wall_time(ONE_SHOT, runs)
    print(f"start-up (best of {runs})")
    print(f"  import pandas, ib_async, loguru   {base:6.2f} s")
    print(f"  kline AAPL day 5 --sim            {one_shot:6.2f} s   ratio {one_shot / base:.2f} (target <= 1.5)")


def record(bars: int) -> dict:
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(7)
    close = 100 + np.cumsum(rng.normal(0, 0.2, bars))
    open_ = np.append(close[0], close[:-1])
    spread = np.abs(rng.normal(0, 0.1, bars))
    times = pd.date_range("2024-01-02 09:30", periods=bars, freq="5min")
    frame = pd.DataFrame(
        {
            "date": times,
            "open": open_,
            "high": np.maximum(open_, close) + spread,
            "low": np.minimum(open_, close) - spread,
            "close": close,
            "volume": rng.integers(1_000, 100_000, bars),
        }
    )
    return {"symbol": "AAPL", "period": "5m", "count": bars, "bars": frame.to_dict(orient="records")}


def timed(action) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def charts(sizes: list[int]) -> None:
    from quorvane import chart

    records = {n: record(n) for n in sizes}
    with tempfile.TemporaryDirectory() as folder:
        png = os.path.join(folder, "chart.png")
        small = record(10)
        load_terminal = timed(lambda: chart.terminal_chart(small, 120, 30))
        load_png = timed(lambda: chart.save_chart(small, png))
        print("charts (one process; seconds)")
        print(f"  first chart, with loading the library   terminal {load_terminal:5.2f}   png {load_png:5.2f}")
        for n, rec in records.items():
            terminal = timed(partial(chart.terminal_chart, rec, 120, 30))
            image = timed(partial(chart.save_chart, rec, png))
            print(f"  {n:>7,} bars                            terminal {terminal:5.2f}   png {image:5.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--skip-startup", action="store_true")
    args = parser.parse_args()
    if not args.skip_startup:
        startup(args.runs)
    charts([int(n) for n in args.sizes.split(",")])


if __name__ == "__main__":
    main()
