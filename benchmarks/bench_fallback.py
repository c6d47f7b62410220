"""The public-data path: yfinance's history frame to the bar table and its records.

    plain:  the minimal pandas version: reset_index, rename, drop, astype, tz_localize,
            convert_dtypes, then to_dict(orient="records")
    module: IOpKline._intraday_yfinance from the downloaded frame to the returned record (table,
            records, cache store), with the download answered at once and a printer that
            prints nothing.

Times are the best of N runs; the release of the previous run's records happens before the
clock starts.

    .venv/bin/python benchmarks/bench_fallback.py [--sizes 1000,100000]
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from functools import partial

import numpy as np
import pandas as pd

import quorvane.cmds.quotes.kline as kline
from timing import best_time, quiet_module

SIZES = (1_000, 10_000, 100_000)
REPEATS = {1_000: 41, 10_000: 15, 100_000: 5}


def history_frame(n: int) -> pd.DataFrame:
    """Minute bars as yfinance's history() returns them: exchange-zoned index, integer volume."""
    rng = np.random.default_rng(7)
    index = pd.date_range("2025-06-02 13:30", periods=n, freq="min", tz="UTC", name="Datetime")
    close = 187.25 + np.cumsum(rng.choice([-0.03, -0.01, 0.0, 0.01, 0.02], n)).round(2)
    return pd.DataFrame(
        {
            "Open": close + 0.01,
            "High": close + 0.12,
            "Low": close - 0.11,
            "Close": close,
            "Volume": rng.integers(100, 50_000, n),
            "Dividends": 0.0,
            "Stock Splits": 0.0,
        },
        index=index.tz_convert("America/New_York"),
    )


def plain(hist: pd.DataFrame) -> list[dict]:
    """The same reshaping in plain pandas calls, for this frame's columns."""
    frame = (
        hist.reset_index()
        .rename(
            columns={
                "Datetime": "date",
                "Open": "open",
                "High": "high",
                "Low": "low",
                "Close": "close",
                "Volume": "volume",
            }
        )
        .drop(columns=["Dividends", "Stock Splits"])
    )
    frame["average"], frame["barCount"] = frame["close"].astype(float), 1
    frame["date"] = frame["date"].dt.tz_localize(None)
    return frame.convert_dtypes().to_dict(orient="records")


class ModuleRun:
    def __init__(self, hist: pd.DataFrame) -> None:
        self.cmd = kline.IOpKline()
        self.cmd.symbol = "AAPL"

        async def downloaded(**kwargs) -> pd.DataFrame:
            return hist

        self.cmd._yf_history = downloaded
        self.loop = asyncio.new_event_loop()

    def reset(self) -> None:
        kline._kline_cache = None

    def run(self) -> list[dict]:
        return self.loop.run_until_complete(self.cmd._intraday_yfinance())["bars"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    args = parser.parse_args()
    quiet_module()
    print(
        f"pandas {pd.__version__}, Python {sys.version.split()[0]}; seconds, best of "
        + ", ".join(f"{REPEATS[n]} at {n:,}" for n in SIZES)
    )
    print("     rows     plain    module   ratio")
    for n in map(int, args.sizes.split(",")):
        hist = history_frame(n)
        module = ModuleRun(hist)
        module.reset()
        assert module.run() == plain(hist)
        module_s = best_time(module.run, REPEATS[n], reset=module.reset)
        plain_s = best_time(partial(plain, hist), REPEATS[n])
        print(f"{n:>9,}  {plain_s:>8.4f}  {module_s:>8.4f}  {plain_s / module_s:>5.1f}x", flush=True)


if __name__ == "__main__":
    main()
