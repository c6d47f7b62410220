from collections import OrderedDict
from datetime import date, timedelta

import pytest

from quorvane.gateway import kline_cache
from quorvane.gateway.kline_cache import KlineCache
from support.clock import FakeClock

TODAY = date(2025, 3, 14)
TTL = 60.0
count_key, range_key, intraday_key = KlineCache.count_key, KlineCache.range_key, KlineCache.intraday_key


@pytest.fixture
def clock(monkeypatch):
    monkeypatch.setattr(kline_cache, "local_today", lambda: TODAY)
    for name in ("KLINE_CACHE_LIVE_TTL", "KLINE_CACHE_MAX_BARS"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setattr(KlineCache, "clock", FakeClock())
    return KlineCache.clock


@pytest.fixture
def cache(clock):
    return KlineCache()


def bars(n, tag=None):
    return [{"close": i, "tag": tag} for i in range(n)]


@pytest.mark.parametrize(
    "other",
    [
        ("aapl", "day", "none", 1),
        ("AAPL", "d", "none", 1),
        ("AAPL", "day", "adj", 1),
        ("AAPL", "day", "none", 0),
        ("AAPL", "day", "none", -1),
        ("AAPL", "day", "none", 2**70),
        ("AAPL", "day none", "", 1),
    ],
    ids=["symbol-case", "period-alias", "adjust-word", "zero", "negative", "huge", "words-not-joined"],
)
def test_keys_distinguish_every_part(clock, other):
    key = count_key("AAPL", "day", "none", 1)
    assert key == count_key("AAPL", "day", "none", 1) and key != count_key(*other)
    assert len({key, range_key("AAPL", "day", "none", "1", "1"), intraday_key("AAPL")}) == 3


@pytest.mark.parametrize("count", [True, 1.0, "5"], ids=["bool", "float", "text"])
def test_count_key_refuses_non_integer_counts(count):
    with pytest.raises(TypeError):
        count_key("AAPL", "day", "none", count)


def test_get_returns_the_stored_object_and_empty_list_is_a_hit(cache):
    full, empty = bars(3), []
    cache.set(count_key("AAPL", "day", "none", 3), full)
    cache.set(count_key("AAPL", "day", "none", 0), empty)
    assert cache.get(count_key("AAPL", "day", "none", 3)) is full
    assert cache.get(count_key("AAPL", "day", "none", 0)) is empty
    assert cache.get(count_key("AAPL", "day", "none", 4)) is None


@pytest.mark.parametrize(
    "make_key",
    [
        lambda: count_key("AAPL", "day", "none", 5),
        lambda: intraday_key("AAPL"),
        lambda: range_key("AAPL", "day", "none", "2025-01-01", TODAY.isoformat()),
        lambda: range_key("AAPL", "day", "none", "2025-01-01", "2025-12-31"),
    ],
    ids=["count", "intraday", "range-ending-today", "range-ending-later"],
)
def test_live_entries_answer_until_the_ttl(cache, clock, make_key):
    stored = bars(5)
    cache.set(make_key(), stored)
    clock.now += TTL - 0.001
    assert cache.get(make_key()) is stored
    clock.now += 0.001
    assert cache.get(make_key()) is None and cache.bars == 0


def test_past_ranges_never_go_stale(cache, clock):
    key, stored = range_key("AAPL", "day", "none", "2025-01-01", "2025-03-13"), bars(5)
    cache.set(key, stored)
    clock.now += 10 * 365 * 86400
    assert cache.get(key) is stored


def test_yesterdays_intraday_curve_does_not_answer_today(cache, monkeypatch):
    cache.set(intraday_key("AAPL"), bars(5))
    monkeypatch.setattr(kline_cache, "local_today", lambda: TODAY + timedelta(days=1))
    assert cache.get(intraday_key("AAPL")) is None


def test_lru_eviction_by_bars(clock, monkeypatch):
    monkeypatch.setattr(KlineCache, "max_bars", 10)
    cache = KlineCache()
    a, b, c = (count_key("S", "day", "none", n) for n in (1, 2, 3))
    cache.set(a, bars(4))
    cache.set(b, bars(4))
    cache.get(a)  # b is now the least recently used
    cache.set(c, bars(4))
    assert [cache.get(k) is not None for k in (a, b, c)] == [True, False, True] and cache.bars == 8
    cache.set(a, bars(11))  # too big to keep, and it supersedes the old a
    assert cache.get(a) is None and cache.bars == 4


@pytest.mark.parametrize(
    "env, settings",
    [
        ({}, (5.0, 7)),
        ({"KLINE_CACHE_LIVE_TTL": "30", "KLINE_CACHE_MAX_BARS": "1_000"}, (30.0, 1000)),
        ({"KLINE_CACHE_LIVE_TTL": "nan", "KLINE_CACHE_MAX_BARS": "-3"}, (5.0, 7)),
        ({"KLINE_CACHE_LIVE_TTL": "soon", "KLINE_CACHE_MAX_BARS": "1e6"}, (5.0, 7)),
    ],
    ids=["class-attributes", "env-overrides", "non-finite-and-negative-ignored", "unreadable-ignored"],
)
def test_settings(clock, monkeypatch, env, settings):
    monkeypatch.setattr(KlineCache, "live_ttl", 5.0)
    monkeypatch.setattr(KlineCache, "max_bars", 7)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    cache = KlineCache()
    assert (cache.live_ttl, cache.max_bars) == settings


def fill(cache, *counts, symbol="AAPL"):
    for n in counts:
        cache.set(count_key(symbol, "5m", "adj", n), bars(n, tag=n))


@pytest.mark.parametrize(
    "ask",
    [
        ("AAPL", "5m", "adj", 300),
        ("AAPL", "5m", "none", 50),
        ("AAPL", "5min", "adj", 50),
        ("aapl", "5m", "adj", 50),
        ("AAPL", "5m", "adj", 0),
        ("AAPL", "5m", "adj", -5),
        ("AAPL", "5m", "adj", 5.0),
        ("AAPL", "5m", "adj", True),
    ],
    ids=["equal-is-not-larger", "other-adjust", "other-period", "symbol-case", "zero", "negative", "float", "bool"],
)
def test_try_larger_count_declines(cache, ask):
    fill(cache, 300)
    assert cache.try_larger_count(*ask) is None


def test_try_larger_count_gives_newest_records_of_smallest_larger(cache):
    fill(cache, 500, 200, 300, 100)
    got = cache.try_larger_count("AAPL", "5m", "adj", 150)
    assert [(r["tag"], r["close"]) for r in got] == [(200, i) for i in range(50, 200)]
    assert got is not cache.get(count_key("AAPL", "5m", "adj", 200))


def test_try_larger_count_skips_stale_entries(cache, clock):
    fill(cache, 200)
    clock.now += TTL / 2
    fill(cache, 400)
    clock.now += TTL / 2  # 200 is stale now, 400 is not
    assert cache.try_larger_count("AAPL", "5m", "adj", 150)[0]["tag"] == 400
    clock.now += TTL
    assert cache.try_larger_count("AAPL", "5m", "adj", 150) is None and len(cache) == 0


class NoScan(OrderedDict):
    def _scan(self, *args):
        raise AssertionError("the whole cache was scanned")

    __iter__ = keys = values = items = _scan


def test_try_larger_count_looks_only_at_its_own_group(cache):
    for n in range(50):
        fill(cache, n + 1, symbol=f"S{n}")
    fill(cache, 300)
    cache._entries = NoScan(cache._entries)  # lookups by key still work
    assert len(cache.try_larger_count("AAPL", "5m", "adj", 100)) == 100
