"""The bar store across processes, as a user meets it: one command per process, then `cache`."""

import os
from pathlib import Path

import pytest

HISTORY = ("kline", "AAPL", "2025-01-01", "2025-06-01")


def test_a_past_range_outlives_the_process_and_cache_shows_and_clears_it(cli):
    first = cli(*HISTORY, "--sim")
    assert first.returncode == 0 and first.stdout.endswith("bars (ibkr)\n"), first.stderr
    bars = first.stdout.splitlines()[-1].split(": ")[1].split()[0]
    without_gateway = cli(*HISTORY)
    assert without_gateway.stdout.splitlines()[-1] == f"kline AAPL: {bars} bars (cache)", without_gateway.stderr
    with_gateway = cli(*HISTORY, "--sim")
    assert "[AAPL] history cache hit: 2025-01-01~2025-06-01 day none" in with_gateway.stderr
    assert with_gateway.stdout.splitlines()[-1] == f"kline AAPL: {bars} bars (ibkr, cache)"

    location = Path(os.environ["XDG_CACHE_HOME"]) / "quorvane" / "bars.sqlite"
    shown = cli("cache").stdout.splitlines()
    assert shown[:2] == [f"Bar store: {location}", f"1 entry, {bars} bars, " + shown[1].split(", ")[-1]]
    assert shown[3].split()[2] == bars and shown[3].endswith("  range AAPL day none 2025-01-01 2025-06-01")
    assert cli("cache", "clear").stdout == f"Bar store {location}: removed 1 entry.\n"
    assert cli("cache").stdout.splitlines()[1].startswith("0 entries, 0 bars, ")


@pytest.mark.parametrize(
    "words, code, output",
    [(["cache"], 1, "file is not a database"), (["cache", "clear"], 0, "removed 0 entries")],
    ids=["shows-the-trouble", "clear-removes-the-file"],
)  # fmt: skip
def test_cache_on_a_damaged_file(cli, words, code, output):
    location = Path(os.environ["XDG_CACHE_HOME"]) / "quorvane" / "bars.sqlite"
    location.parent.mkdir(parents=True)
    location.write_bytes(b"garbage" * 1000)
    run = cli(*words)
    assert run.returncode == code and output in run.stdout + run.stderr
    assert location.exists() == (code == 1)


def test_two_processes_share_a_live_entry_through_redis(cli, redis_url):
    desk = {"KLINE_CACHE_URL": redis_url}
    first = cli("kline", "AAPL", "day", "5", "--sim", env=desk)
    assert first.returncode == 0 and first.stdout.endswith("5 bars (ibkr)\n"), first.stderr
    second = cli("kline", "AAPL", "day", "5", env=desk)
    assert second.stdout.endswith("5 bars (cache)\n"), second.stderr
    shown = cli("cache", env=desk).stdout.splitlines()
    assert shown[:2] == [f"Bar store: {redis_url}", "1 entry, 5 bars, " + shown[1].split(", ")[-1]]
    assert cli("cache", "clear", env=desk).stdout == f"Bar store {redis_url}: removed 1 entry.\n"
