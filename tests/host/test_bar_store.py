"""The lasting bar store: exact round trips, bad files, and the same answers as memory."""

from __future__ import annotations

import asyncio
import math
import os
import sqlite3
import struct
import subprocess
import sys
import zlib
from datetime import UTC, date, datetime, timedelta, timezone
from decimal import Decimal
from pathlib import Path
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from dateutil import tz as dateutil_tz

from quorvane.gateway import kline_cache
from quorvane.gateway.bar_store import codec, open_store
from quorvane.gateway.bar_store.sqlite_backend import SqliteBackend
from quorvane.gateway.kline_cache import KlineCache, key_text

ROOT = Path(__file__).resolve().parents[2]
TODAY = date(2025, 7, 1)
EASTERN = ZoneInfo("US/Eastern")
PAST = KlineCache.range_key("AAPL", "day", "none", "2025-01-01", "2025-06-01")


@pytest.fixture(autouse=True)
def today(monkeypatch):
    monkeypatch.setattr(kline_cache, "local_today", lambda: TODAY)


def store_path() -> Path:
    return Path(os.environ["XDG_CACHE_HOME"]) / "quorvane" / "bars.sqlite"


def later_process() -> KlineCache:
    """A cache as a new process makes it: empty memory, the same store."""
    return KlineCache()


def exact(records: list) -> list:
    """Values as they must come back: type, repr (NaN, -0.0, zone), unit, fold, and order of fields."""
    return [
        [(k, type(v), repr(v), getattr(v, "unit", None), getattr(v, "fold", None)) for k, v in r.items()]
        for r in records
    ]


def bars(n: int = 3, **extra) -> list[dict]:
    start = pd.Timestamp("2025-01-02 09:30").as_unit("us")
    return [
        {"date": start + pd.Timedelta(minutes=i), "open": 187.25 + i, "volume": 1200 + i, **extra} for i in range(n)
    ]


# ---------------------------------------------------------------- values come back exactly

STAMP = pd.Timestamp("2025-03-09 01:59:59.123456789")
COLUMNS = {
    "floats": [1.5, -0.0, math.inf, -math.inf, math.nan, 1e300, 5e-324],
    "ints": [0, -1, 2**63 - 1, -(2**63), 7, 7, 7],
    "ints-beyond-64-bits": [2**63, 2**70, -(2**64) - 1, 0, 1, -1, 10**30],
    "bools": [True, False, True, True, False, False, True],
    "texts": ["", "AAPL", "ü€😀", "a\x00b", "\ud800", "line\nbreak", "x" * 1000],
    "nones": [None] * 7,
    "dates": [date(1, 1, 1), date(9999, 12, 31), date(2025, 3, 9), date(2025, 3, 8), date(1970, 1, 1),
              date(1969, 12, 31), date(2025, 3, 9)],
    "timestamps-each-unit": [STAMP.as_unit("s").floor("s"), STAMP.as_unit("ms").floor("ms"), STAMP.floor("us"),
                             STAMP.as_unit("ns"), STAMP.as_unit("s").floor("s"), STAMP.floor("us"), STAMP],
    "timestamps-zoned": [STAMP.tz_localize(EASTERN), STAMP.tz_localize("UTC"),
                         STAMP.tz_localize(timezone(timedelta(hours=5, minutes=30))),
                         pd.Timestamp("2025-11-02 05:30", tz="UTC").tz_convert(EASTERN).as_unit("us"),
                         pd.Timestamp("1677-09-22", tz=EASTERN), pd.Timestamp("2262-04-11"), STAMP],
    "datetimes-fold-gap-and-zones": [datetime(2025, 11, 2, 1, 30, fold=f, tzinfo=EASTERN) for f in (0, 1)] + [
        datetime(2025, 3, 9, 2, 30, tzinfo=EASTERN), datetime(2025, 1, 1, tzinfo=UTC),
        datetime(2025, 1, 1, tzinfo=timezone(-timedelta(hours=3, microseconds=1))),
        datetime(1, 1, 1), datetime(9999, 12, 31, 23, 59, 59, 999999)],
    "mixed": [1, "a", None, 2.5, True, date(2025, 1, 2), STAMP],
    "floats-and-nones": [1.0, None, math.nan, None, 2.0, 3.0, None],
}  # fmt: skip


@pytest.mark.parametrize("values", COLUMNS.values(), ids=COLUMNS.keys())
def test_every_value_comes_back_exactly(values):
    records = [{"date": date(2025, 1, 2), "value": value} for value in values]
    back = codec.decode("k", codec.encode("k", records, 0.0))
    assert exact(back) == exact(records)


@pytest.mark.parametrize(
    "records",
    [[], [{}, {}], [{name: values[i] for name, values in COLUMNS.items()} for i in range(7)]],
    ids=["no-records", "records-without-fields", "all-columns-together"],
)
def test_whole_entries_come_back_exactly(records):
    entry = codec.encode('["range","AAPL"]', records, 1.5e9)
    assert exact(codec.decode('["range","AAPL"]', entry)) == exact(records)
    assert codec.read_head(entry) == codec.Head(codec.VERSION, len(records), 1.5e9, '["range","AAPL"]')


UNSTORABLE = {
    "numpy-float": [{"close": np.float64(1.5)}],
    "decimal": [{"close": Decimal("1.5")}],
    "timedelta": [{"span": timedelta(minutes=1)}],
    "dateutil-zone": [{"date": datetime(2025, 1, 2, tzinfo=dateutil_tz.gettz("America/New_York"))}],
    "named-fixed-offset": [{"date": datetime(2025, 1, 2, tzinfo=timezone(timedelta(hours=1), "CET"))}],
    "named-offset-after-an-equal-one": [
        {"date": datetime(2025, 1, 2, tzinfo=zone)}
        for zone in (timezone(timedelta(hours=1)), timezone(timedelta(hours=1), "CET"))
    ],
    "not-dicts": [("2025-01-02", 1.5)],
    "fields-differ": [{"close": 1.5}, {"open": 1.5}],
    "field-name-not-text": [{1: 1.5}],
}


@pytest.mark.parametrize("records", UNSTORABLE.values(), ids=UNSTORABLE.keys())
def test_what_cannot_come_back_exactly_stays_in_memory(records, log_lines):
    with pytest.raises(codec.Unstorable):
        codec.encode("k", records, 0.0)
    cache = KlineCache()
    cache.set(PAST, records)
    cache.flush()
    assert cache.get(PAST) is records and later_process().get(PAST) is None
    assert not [line for line in log_lines if line.startswith("WARNING")]


# ---------------------------------------------------------------- the cache with a store

KEYS = {
    "past-range": PAST,
    "range-ending-today": KlineCache.range_key("AAPL", "day", "none", "2025-06-01", TODAY.isoformat()),
    "count": KlineCache.count_key("AAPL", "day", "none", 3),
    "intraday": KlineCache.intraday_key("AAPL"),
}


@pytest.mark.parametrize("lookup", ["get", "recall"], ids=["get", "recall-off-the-loop"])
def test_a_later_process_answers_past_ranges_only(lookup):
    cache = KlineCache()
    stored = {name: bars(tag=name) for name in KEYS}
    for name, key in KEYS.items():
        cache.set(key, stored[name])
    assert all(cache.get(key) is stored[name] for name, key in KEYS.items())  # memory: the same objects
    cache.flush()
    later = later_process()
    ask = later.get if lookup == "get" else lambda key: asyncio.run(later.recall(key))
    answers = {name: ask(key) for name, key in KEYS.items()}
    assert answers == {"past-range": stored["past-range"], "range-ending-today": None, "count": None, "intraday": None}
    assert ask(PAST) is answers["past-range"] and later.bars == 3  # kept in memory from then on


def test_the_latest_store_of_a_key_stands():
    cache = KlineCache()
    cache.set(PAST, bars(3))
    cache.set(PAST, bars(5))
    cache.flush()
    assert later_process().get(PAST) == bars(5)


@pytest.mark.parametrize(
    "setting, where",
    [
        ("memory:", None),
        ("sqlite://{tmp}/desk/bars.sqlite", "{tmp}/desk/bars.sqlite"),
        ("sqlite:///{tmp}/desk/bars.sqlite", "{tmp}/desk/bars.sqlite"),
        ("ftp://nowhere", None),
        ("sqlite://", None),
    ],
    ids=["memory-only", "another-file", "four-slashes", "unknown-kind-memory-only", "no-path-memory-only"],
)
def test_store_setting(monkeypatch, tmp_path, setting, where):
    monkeypatch.setenv("KLINE_CACHE_URL", setting.format(tmp=tmp_path))
    store = KlineCache().store
    expected = where and where.format(tmp=tmp_path, xdg=os.environ["XDG_CACHE_HOME"])
    assert (store and store.location) == expected


def test_class_attribute_names_the_store_and_the_environment_overrides_it(monkeypatch, tmp_path):
    monkeypatch.setattr(KlineCache, "store_url", "memory:")
    assert KlineCache().store is None
    monkeypatch.setenv("KLINE_CACHE_URL", f"sqlite://{tmp_path}/bars.sqlite")
    assert KlineCache().store.location == f"{tmp_path}/bars.sqlite"


# ---------------------------------------------------------------- bad files


def write_file(data: bytes) -> None:
    store_path().parent.mkdir(parents=True)
    store_path().write_bytes(data)


def sqlite_file(*statements: str) -> None:
    store_path().parent.mkdir(parents=True)
    with sqlite3.connect(store_path()) as db:
        for statement in statements:
            db.execute(statement)
    db.close()


def unwritable_folder() -> None:
    home = Path(os.environ["XDG_CACHE_HOME"])
    home.parent.mkdir(parents=True, exist_ok=True)
    home.write_text("a file where the cache folder should be")


BAD_FILES = {
    "corrupt": (lambda: write_file(b"not a database at all " * 100), "file is not a database"),
    "unknown-format-version": (lambda: sqlite_file("PRAGMA user_version = 99"), "format 99"),
    "another-programs-database": (lambda: sqlite_file("CREATE TABLE notes (text)"), "other tables"),
    "unwritable": (unwritable_folder, "cannot create"),
}


@pytest.mark.parametrize("spoil, reason", BAD_FILES.values(), ids=BAD_FILES.keys())
def test_a_bad_file_costs_one_warning_and_nothing_else(spoil, reason, log_lines):
    spoil()
    cache = KlineCache()
    assert cache.get(PAST) is None
    first, second = bars(3), bars(4)
    for key, records in ((PAST, first), (KEYS["range-ending-today"], second)):
        cache.set(key, records)
    cache.flush()
    warnings = [line for line in log_lines if line.startswith("WARNING")]
    assert len(warnings) == 1 and reason in warnings[0]
    assert cache.get(PAST) is first and later_process().get(PAST) is None


def spoil_entry(change) -> None:
    with sqlite3.connect(store_path()) as db:
        entry = db.execute("SELECT entry FROM bars WHERE key = ?", (key_text(PAST),)).fetchone()[0]
        db.execute("UPDATE bars SET entry = ? WHERE key = ?", (change(bytearray(entry)), key_text(PAST)))
    db.close()


def flip_last_byte(entry: bytearray) -> bytes:
    entry[-1] ^= 0x01
    return bytes(entry)


def another_keys_entry(entry: bytearray) -> bytes:
    return codec.encode(key_text(KEYS["range-ending-today"]), bars(3), 0.0)


def next_version(entry: bytearray) -> bytes:
    entry[4] += 1
    return bytes(entry)


def forged(body: bytes, records: int = 10_000_000, packed=zlib.compress):
    """An entry with a valid checksum whose head declares `records` (a few bytes can claim millions)."""
    key = key_text(PAST).encode()
    checked = struct.pack("<QdI", records, 0.0, len(key)) + key + packed(body)
    return lambda entry: struct.pack("<4sH16s", codec.MAGIC, codec.VERSION, codec._checksum(checked)) + checked


def zeros_beyond_the_cap(_: bytes) -> bytes:
    packer, chunk = zlib.compressobj(9), bytes(1 << 20)
    return b"".join(packer.compress(chunk) for _ in range((codec.MAX_BODY >> 20) + 1)) + packer.flush()


BAD_ENTRIES = {
    "declares-10M-records-of-no-fields": (forged(b"\0\0\0\0"), "declares 10,000,000 records of 0 fields in 4 bytes"),
    "declares-10M-records-of-one-field": (forged(b"\1\0\0\0" + bytes(20)), "declares 10,000,000 records of 1 fields"),
    "inflates-beyond-the-cap": (forged(b"", 5, zeros_beyond_the_cap), "inflates beyond 1,048,576 bytes"),
    "damaged": (flip_last_byte, "checksum mismatch"),
    "truncated": (lambda entry: bytes(entry[:40]), "not an entry"),
    "under-another-key": (another_keys_entry, "holds"),
    "another-format-version": (next_version, "not an entry"),
}


@pytest.mark.parametrize("change, reason", BAD_ENTRIES.values(), ids=BAD_ENTRIES.keys())
def test_an_entry_failing_its_check_is_a_miss_and_is_replaced(change, reason, log_lines, monkeypatch):
    monkeypatch.setattr(codec, "MAX_BODY", 1 << 20)  # so a body beyond it is quick to make
    cache = KlineCache()
    cache.set(PAST, bars(3))
    cache.flush()
    spoil_entry(change)
    later = later_process()
    assert later.get(PAST) is None
    later.set(PAST, bars(3))  # the fetch the miss costs
    later.flush()
    assert later_process().get(PAST) == bars(3)
    warnings = [line for line in log_lines if line.startswith("WARNING")]
    assert len(warnings) == 1 and reason in warnings[0]


LOCKER = """\
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
for statement in sys.argv[2:]:
    db.execute(statement)
db.execute("SELECT count(*) FROM bars")
print("locked", flush=True)
sys.stdin.read()
"""
LOCKS = {
    "writing": (["BEGIN IMMEDIATE"], True),  # readers of the WAL file go on reading
    "holding-the-whole-file": (["PRAGMA locking_mode=EXCLUSIVE", "BEGIN EXCLUSIVE"], False),
}


@pytest.mark.parametrize("statements, still_reads", LOCKS.values(), ids=LOCKS.keys())
def test_a_store_locked_by_another_process_pauses_and_comes_back(statements, still_reads, monkeypatch, log_lines):
    monkeypatch.setattr(SqliteBackend, "write_wait", 0.1)
    cache = KlineCache()
    cache.set(PAST, bars(3))
    cache.flush()
    cache.store.backend.close()
    locker = subprocess.Popen(
        [sys.executable, "-c", LOCKER, str(store_path()), *statements],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert locker.stdout.readline() == "locked\n"
        later = later_process()
        assert later.get(PAST) == (bars(3) if still_reads else None)  # a miss, not a wait
        answer = KlineCache.range_key("MSFT", "day", "none", "2025-01-01", "2025-06-01"), bars(4)
        later.set(*answer)
        later.flush()
        assert later.get(answer[0]) is answer[1]
    finally:
        locker.communicate("")
    monkeypatch.setattr(later.store._health, "_clock", lambda: math.inf)  # the pause is over
    later.set(*answer)
    later.flush()
    assert later.store.load(key_text(answer[0]))[0] == bars(4)
    assert [line.split("|")[0] for line in log_lines if "Bar store" in line] == ["WARNING", "INFO"]
    assert "database is locked" in log_lines[0] and "works again" in log_lines[-1]


@pytest.fixture
def small_disk(tmp_path):
    """A 256 kB file system of the test's own, mounted at the cache folder."""
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)], capture_output=True)
    if done.returncode:
        pytest.skip(f"cannot mount a small file system here: {done.stderr.decode().strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=True)


def test_a_full_disk_keeps_new_bars_in_memory_and_still_reads(small_disk, monkeypatch, log_lines):
    monkeypatch.setenv("KLINE_CACHE_URL", f"sqlite://{small_disk}/bars.sqlite")
    cache = KlineCache()
    cache.set(PAST, bars(3))
    cache.flush()
    with pytest.raises(OSError), open(small_disk / "filler", "wb") as filler:
        while True:
            filler.write(os.urandom(4096))
            filler.flush()
    big = KlineCache.range_key("MSFT", "1m", "none", "2025-01-01", "2025-06-01")
    records = bars(20_000)
    cache.set(big, records)
    cache.flush()
    later = later_process()
    assert cache.get(big) is records and later.get(big) is None and later.get(PAST) == bars(3)
    warnings = [line for line in log_lines if line.startswith("WARNING")]
    assert len(warnings) == 1 and "full" in warnings[0]


WRITER = """\
import sys
from datetime import date
from quorvane.gateway import kline_cache
from quorvane.gateway.kline_cache import KlineCache
kline_cache.local_today = lambda: date(2025, 7, 1)
name = sys.argv[1]
cache = KlineCache()
for i in range(40):
    shared = KlineCache.range_key("SHARED", "day", "none", "2025-01-01", f"2025-02-{i % 28 + 1:02d}")
    own = KlineCache.range_key(name, "day", "none", "2025-01-01", f"2025-02-{i % 28 + 1:02d}")
    cache.set(shared, [{"close": float(i), "n": i}] * (i + 1))
    cache.set(own, [{"close": float(i), "who": name}] * 50)
"""


@pytest.mark.parametrize("store", ["sqlite", "redis"])
def test_two_processes_writing_at_once_lose_nothing(store, request, monkeypatch):
    if store == "redis":
        monkeypatch.setenv("KLINE_CACHE_URL", request.getfixturevalue("redis_url"))
    env = {**os.environ, "PYTHONPATH": str(ROOT)}
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, name], env=env) for name in ("ONE", "TWO")]
    assert [writer.wait(timeout=60) for writer in writers] == [0, 0]
    later = later_process()
    for i in range(28):
        end = f"2025-02-{i + 1:02d}"
        shared = later.get(KlineCache.range_key("SHARED", "day", "none", "2025-01-01", end))
        assert shared is not None and shared[0]["n"] in (i, i + 28) and len(shared) == shared[0]["n"] + 1
        for name in ("ONE", "TWO"):
            own = later.get(KlineCache.range_key(name, "day", "none", "2025-01-01", end))
            assert own is not None and own[0]["who"] == name


def test_opening_a_store_touches_nothing(tmp_path):
    store = open_store(f"sqlite://{tmp_path}/a/b.sqlite")
    assert store.load(key_text(PAST)) is None and not (tmp_path / "a").exists()
