"""Bar store: write and read times, and bytes per bar, for SQLite and Redis.

    encode  the records to an entry (on the store's writer thread)
    write   encode and store: BarStore.save, then flush
    decode  an entry back to records
    read    fetch and decode: BarStore.load, what a memory miss answered by the store costs
    entry   the entry's bytes per bar; `file` the bytes per bar of an SQLite file holding just
            that entry, `held` Redis's MEMORY USAGE per bar

The records are the module's bar records for bench_bar_table's bars (intraday minutes, daily
dates).

Then a store hit of HIT_BARS intraday bars against building the same records from gateway bars
(the module's own path), and the longest the event loop stalls while the cache reads that entry
(KlineCache.recall decodes on a worker thread): a key typed meanwhile is echoed within that.
Times are the best of N runs. Redis is a redis-server of the benchmark's own on a free loopback port,
or --redis URL; without either the Redis rows are left out.

    .venv/bin/python benchmarks/bench_bar_store.py [--sizes 1000,10000] [--kinds intraday]
                                                   [--stores sqlite,redis] [--redis URL]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

from bench_bar_table import KINDS, SIZES, ModuleRun, best_time, make_bars, plain
from quorvane.gateway.bar_store import codec, open_store
from quorvane.gateway.bar_store.redis_backend import PREFIX
from quorvane.gateway.bar_store.sqlite_backend import SqliteBackend
from quorvane.gateway.kline_cache import key_text
from timing import quiet_module

REPEATS = {1_000: 21, 10_000: 9, 100_000: 3}  # larger sizes run once
HIT_BARS = 1_000_000
KEY = '["range", "AAPL", "1m", "none", "2020-01-01", "2025-01-01"]'


def measure(store_url: str, records: list, repeats: int) -> dict:
    store = open_store(store_url)
    entry = codec.encode(KEY, records, 0.0)

    def write():
        store.save(KEY, records, None)
        store.flush()

    figures = {
        "encode": best_time(lambda: codec.encode(KEY, records, 0.0), repeats),
        "write": best_time(write, repeats),
        "decode": best_time(lambda: codec.decode(KEY, entry), repeats),
        "read": best_time(lambda: store.load(KEY), repeats),
        "entry": len(entry) / len(records),
    }
    assert store.load(KEY)[0] == records
    figures.update(held_bytes(store.backend, entry, len(records)))
    store.backend.close()
    return figures


def held_bytes(backend, entry: bytes, bars: int) -> dict:
    if isinstance(backend, SqliteBackend):
        alone = SqliteBackend(backend.path.with_name("alone-" + backend.path.name))
        alone.write(KEY, entry, None)
        alone.close()  # the last connection to close folds the WAL into the file
        return {"file": alone.size() / bars}
    return {"held": backend._redis().memory_usage(PREFIX + KEY.encode(), samples=0) / bars}


def row(store: str, kind: str, n: int, repeats: int, figures: dict) -> str:
    held = figures.get("file", figures.get("held"))
    times = "  ".join(f"{figures[name]:>8.4f}" for name in ("encode", "write", "decode", "read"))
    return f"{store:<6}  {kind:<8}  {n:>9,}  {repeats:>2}  {times}  {figures['entry']:>7.1f}  {held:>7.1f}"


# ---------------------------------------------------------------- a hit against a fetch


def hit_against_build(folder: str, n: int) -> None:
    quiet_module()
    bars = make_bars("intraday", n)
    module = ModuleRun(bars)
    build = best_time(module.run, 1, reset=module.reset)
    records = module.run()
    os.environ["KLINE_CACHE_URL"] = f"sqlite://{folder}/hit.sqlite"
    from quorvane.gateway.kline_cache import KlineCache

    cache = KlineCache()
    key = KlineCache.range_key("AAPL", "1m", "none", "2020-01-01", "2021-01-01")
    cache.set(key, records)
    cache.flush()
    del records, module
    read = best_time(lambda: cache.store.load(key_text(key)), 1)
    stall = asyncio.run(longest_stall(KlineCache(), key))
    print(
        f"\nhit of {n:,} intraday bars: read {read:.2f} s, build from gateway bars {build:.2f} s, "
        f"ratio {read / build:.2f}x; longest event-loop stall while the cache reads it {stall * 1000:.0f} ms"
    )


async def longest_stall(cache, key) -> float:
    """The longest gap between ticks of a 5 ms ticker while `cache.recall(key)` runs."""
    gaps = []

    async def tick():
        last = time.perf_counter()
        while True:
            await asyncio.sleep(0.005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    ticker = asyncio.ensure_future(tick())
    await asyncio.sleep(0.02)
    assert await cache.recall(key) is not None
    ticker.cancel()
    return max(gaps)


# ---------------------------------------------------------------- a Redis server of our own


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextmanager
def own_redis(folder: Path):
    """A throwaway redis-server's URL, or None when none is installed."""
    binary = shutil.which("redis-server")
    if binary is None:
        yield None
        return
    port = free_port()
    server = subprocess.Popen(
        [binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", str(folder)],
        stdout=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        server.terminate()
        server.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)))
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--stores", default="sqlite,redis")
    parser.add_argument("--redis", metavar="URL", help="a Redis server to use (its keys under quorvane:bars:)")
    parser.add_argument("--hit-bars", type=int, default=HIT_BARS, help="bars of the hit-against-build row (0: none)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder, own_redis(Path(folder)) as started:
        redis_url = args.redis or started
        stores = args.stores.split(",")
        if "redis" in stores and redis_url is None:
            print("no redis-server installed and no --redis URL: Redis rows left out", file=sys.stderr)
            stores.remove("redis")
        print(f"Python {sys.version.split()[0]}; times in seconds (best of N); sizes in bytes per bar")
        print("store   kind           bars   N    encode     write    decode      read    entry  file/held")
        for n in map(int, args.sizes.split(",")):
            for kind in args.kinds.split(","):
                records = plain(make_bars(kind, n))
                repeats = REPEATS.get(n, 1)
                for store in stores:
                    url = f"sqlite://{folder}/{kind}-{n}.sqlite" if store == "sqlite" else redis_url
                    print(row(store, kind, n, repeats, measure(url, records, repeats)), flush=True)
        if args.hit_bars:
            hit_against_build(folder, args.hit_bars)


if __name__ == "__main__":
    main()
