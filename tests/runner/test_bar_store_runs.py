"""The bar store across processes, as a user meets it: one command per process, then `cache`."""

import json
import os
import sqlite3
import struct
from pathlib import Path

import pytest

from quorvane.gateway.bar_store import codec

HISTORY = ("kline", "AAPL", "2025-01-01", "2025-06-01")


def store_path() -> Path:
    return Path(os.environ["XDG_CACHE_HOME"]) / "quorvane" / "bars.sqlite"


def count(run) -> str:
    return run.stdout.splitlines()[-1].split(": ")[1].split()[0]


def test_a_past_range_outlives_the_process_apart_from_the_simulators_and_cache_shows_and_clears_it(cli):
    simulated = cli(*HISTORY, "--sim")
    assert simulated.returncode == 0 and simulated.stdout.endswith("bars (ibkr)\n"), simulated.stderr
    public = cli(*HISTORY)  # the simulator's bars never answer for real ones
    assert public.stdout.endswith("bars (yfinance)\n"), public.stderr
    assert cli(*HISTORY).stdout.splitlines()[-1] == f"kline AAPL: {count(public)} bars (cache)"
    again = cli(*HISTORY, "--sim")  # the simulator keeps a store of its own
    assert again.stdout.splitlines()[-1] == f"kline AAPL: {count(simulated)} bars (ibkr, cache)", again.stderr

    location = store_path()
    assert (location.stat().st_mode & 0o777, location.parent.stat().st_mode & 0o777) == (0o600, 0o700)
    shown = cli("cache").stdout.splitlines()
    assert shown[:2] == [f"Bar store: {location}", f"1 entry, {count(public)} bars, " + shown[1].split(", ")[-1]]
    assert shown[3].split()[2] == count(public) and shown[3].endswith("  range AAPL day none 2025-01-01 2025-06-01")
    assert cli("cache", "clear").stdout == f"Bar store {location}: removed 1 entry.\n"
    assert cli("cache").stdout.splitlines()[1].startswith("0 entries, 0 bars, ")


def garbage(path: Path) -> None:
    path.write_bytes(b"garbage" * 1000)


def notes(path: Path) -> None:
    path.write_text("my notes\n")


def another_programs_database(path: Path) -> None:
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE notes (text)")
    db.close()


@pytest.mark.parametrize(
    "name, make, reason",
    [
        ("bars.sqlite", garbage, "file is not a database"),
        ("notes.txt", notes, "file is not a database"),
        ("other.db", another_programs_database, "the file holds other tables"),
    ],
    ids=["damaged-store", "text-file", "another-programs-database"],
)
def test_cache_never_removes_or_rewrites_a_file_that_is_not_a_bar_store(cli, tmp_path, name, make, reason):
    path = store_path() if name == "bars.sqlite" else tmp_path / "mine" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    make(path)
    before = path.read_bytes()
    env = {} if name == "bars.sqlite" else {"KLINE_CACHE_URL": f"sqlite://{path}"}
    shown, cleared = cli("cache", env=env), cli("cache", "clear", env=env)
    assert shown.returncode == 1 and reason in shown.stderr
    refusal = f"{path} is not a bar store this version can use ({reason}); it is left as it is"
    assert cleared.returncode == 1 and refusal in cleared.stderr
    assert path.read_bytes() == before and sorted(os.listdir(path.parent)) == [name]


def test_cache_shows_any_head_and_escapes_what_it_prints(cli):
    from quorvane.gateway.bar_store.sqlite_backend import SqliteBackend

    backend = SqliteBackend(store_path())
    for stored_at, symbol in ((float("nan"), "NAN"), (float("inf"), "\x1b]0;pwned\x07"), (1e300, "A\nB")):
        key = json.dumps(["range", symbol, "day", "none", "2025-01-01", "2025-06-01"])
        entry = bytearray(codec.encode(key, [{"close": 1.0}], 0.0))
        struct.pack_into("<d", entry, codec.HEAD_SIZE - 12, stored_at)  # unchecked by `cache`: it reads heads
        backend.write(key, bytes(entry), None)
    backend.close()
    run = cli("cache")
    assert run.returncode == 0 and "Traceback" not in run.stderr, run.stderr
    assert "\x1b" not in run.stdout and "\x07" not in run.stdout and "A\\nB" in run.stdout
    assert "\\x1b]0;pwned\\x07" in run.stdout and run.stdout.count("\n  ?  ") == 3


def test_two_processes_share_a_live_entry_through_redis_and_simulated_bars_stay_out(cli, redis_url):
    desk = {"KLINE_CACHE_URL": redis_url}
    assert cli("kline", "AAPL", "day", "5", "--sim", env=desk).stdout.endswith("5 bars (ibkr)\n")
    first = cli("kline", "AAPL", "day", "5", env=desk)
    assert first.returncode == 0 and first.stdout.endswith("5 bars (yfinance)\n"), first.stderr
    second = cli("kline", "AAPL", "day", "5", env=desk)
    assert second.stdout.endswith("5 bars (cache)\n"), second.stderr
    shown = cli("cache", env={"KLINE_CACHE_URL": redis_url + "?password=s3cret"})
    assert "s3cret" not in shown.stdout + shown.stderr and "password=***" in shown.stdout + shown.stderr
    shown = cli("cache", env=desk).stdout.splitlines()
    assert shown[:2] == [f"Bar store: {redis_url}", "1 entry, 5 bars, " + shown[1].split(", ")[-1]]
    assert cli("cache", "clear", env=desk).stdout == f"Bar store {redis_url}: removed 1 entry.\n"
