"""Bar tables and bar records equal the plain pandas pipeline, value types included.

Gateway route: the frame printed by `_intraday` / `_kline` must equal
`_strip_tz(DataFrame(bars).convert_dtypes())` and the returned "bars" must equal
`to_dict(orient="records")` of it. Fallback route: `_intraday_yfinance` against the same
pipeline applied to yfinance's history frame. Every kind of record also comes back from the bar store exactly.
"""

from __future__ import annotations

import contextlib
import gc
import math
from dataclasses import dataclass
from datetime import UTC, date, datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import numpy as np
import pandas as pd
import pytest
from ib_async import BarData, Stock

import quorvane.cmds.quotes.kline as kline
from fixtures.yf import make_history_frame
from quorvane.gateway.bar_store import codec

EASTERN = ZoneInfo("US/Eastern")
LORD_HOWE = ZoneInfo("Australia/Lord_Howe")  # DST shifts by half an hour
ST_JOHNS = ZoneInfo("America/St_Johns")  # half-hour offsets: shifts fall inside a UTC hour
CONTRACT = Stock("AAPL", "SMART", "USD")


# ---------------------------------------------------------------- the plain pipeline


def strip_tz(frame: pd.DataFrame) -> pd.DataFrame:
    with contextlib.suppress(Exception):
        frame["date"] = frame["date"].dt.tz_localize(None)
    return frame


def plain_table(bars) -> pd.DataFrame:
    return strip_tz(pd.DataFrame(bars).convert_dtypes())


def plain_yfinance_table(hist: pd.DataFrame) -> pd.DataFrame:
    frame = hist.reset_index()
    frame = frame.rename(
        columns={
            str(frame.columns[0]): "date",
            "Open": "open",
            "High": "high",
            "Low": "low",
            "Close": "close",
            "Volume": "volume",
        }
    )
    frame = frame.drop(columns=[c for c in ("Dividends", "Stock Splits") if c in frame.columns])
    frame["average"] = frame["close"].astype(float)
    frame["barCount"] = 1
    frame["date"] = frame["date"].dt.tz_localize(None)
    return frame.convert_dtypes()


def round_trip(records: list[dict]) -> list[dict]:
    return codec.decode("key", codec.encode("key", records, 0.0))


def shape_of(records: list[dict]) -> list[list[tuple]]:
    """Keys, value types and exact values (repr keeps NaN comparable and floats exact)."""
    return [[(key, type(value), repr(value)) for key, value in record.items()] for record in records]


def assert_same(printed: pd.DataFrame, records: list[dict], expected: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(printed, expected, check_exact=True)
    expected_records = expected.to_dict(orient="records")
    assert records == expected_records
    assert shape_of(records) == shape_of(expected_records)


# ---------------------------------------------------------------- bars as the gateway delivers them


def bar(when, i: int, price=187.25, volume=1200.0, count=None, cls=BarData) -> BarData:
    step = round(0.01 * (i % 37), 2)
    return cls(
        date=when,
        open=price + step,
        high=price + step + 0.5,
        low=price + step - 0.25,
        close=price + step + 0.125,
        volume=volume,
        average=price + step + 0.07,
        barCount=i % 90 + 1 if count is None else count,
    )


def minutes(n: int, zone=EASTERN, start=datetime(2025, 6, 13, 9, 30), step=timedelta(minutes=1)):
    return [start.replace(tzinfo=zone) + i * step if zone else start + i * step for i in range(n)]


def daily_dates(n: int) -> list[date]:
    return [date(2024, 1, 2) + timedelta(days=i) for i in range(n)]


def bars_at(times, **fields) -> list[BarData]:
    return [bar(when, i, **fields) for i, when in enumerate(times)]


@dataclass
class VendorBar(BarData):
    """A subclass adding nothing: the same fields, another type."""


def with_nan(bars, field="low", every=3):
    for b in bars[::every]:
        setattr(b, field, math.nan)
    return bars


# The repeated hour of a DST end (both folds) and a time inside a DST start's gap.
FOLD_AND_GAP = [datetime(2025, 3, 9, 2, 30, tzinfo=EASTERN)] + [
    datetime(2025, 11, 2, 1, 30, fold=fold, tzinfo=EASTERN) for fold in (0, 1)
]


def through_repeated_hour(zone=EASTERN, day=datetime(2025, 11, 2)):
    """Every 5 minutes from 00:30 to 03:30, the repeated hour once in each fold."""
    times = [day + timedelta(minutes=m) for m in range(30, 211, 5)]
    repeated = [t.replace(fold=1) for t in times if t.hour == 1]
    return (
        [t.replace(tzinfo=zone) for t in times if t.hour < 2]
        + [t.replace(tzinfo=zone) for t in repeated]
        + [t.replace(tzinfo=zone) for t in times if t.hour >= 2]
    )


GATEWAY_CASES = {
    "daily-calendar-dates": lambda: bars_at(daily_dates(40)),
    "intraday-us-eastern": lambda: bars_at(minutes(390)),
    "intraday-utc-epoch-form": lambda: bars_at(minutes(30, UTC)),
    "intraday-fixed-offset-zone": lambda: bars_at(minutes(30, timezone(timedelta(hours=5, minutes=30)))),
    "intraday-across-dst-change": lambda: bars_at(minutes(60, EASTERN, datetime(2025, 11, 1), timedelta(hours=1))),
    "dst-fold-and-gap-times": lambda: bars_at(FOLD_AND_GAP),
    "minutes-through-dst-gap": lambda: bars_at(minutes(240, EASTERN, datetime(2025, 3, 9, 0, 30))),
    "minutes-through-repeated-hour": lambda: bars_at(through_repeated_hour()),
    "half-hour-dst-start": lambda: bars_at(minutes(240, LORD_HOWE, datetime(2025, 10, 5, 0, 30))),
    "half-hour-offset-dst-end": lambda: bars_at(through_repeated_hour(ST_JOHNS)),
    "naive-datetimes": lambda: bars_at(minutes(30, None)),
    "mixed-zones": lambda: bars_at(minutes(10)) + bars_at(minutes(10, UTC)),
    "whole-number-prices-become-Int64": lambda: bars_at(daily_dates(20), price=100.0),
    "nan-prices": lambda: with_nan(bars_at(minutes(20))),
    "nan-in-whole-number-prices": lambda: with_nan(bars_at(daily_dates(20), price=100.0), "close"),
    "all-volume-nan": lambda: with_nan(bars_at(minutes(5)), "volume", 1),
    "int-volume": lambda: bars_at(minutes(20), volume=1200),
    "one-int-volume-among-floats": lambda: bars_at(minutes(5)) + bars_at(minutes(1), volume=7),
    "float-subclass-prices": lambda: bars_at(minutes(5), price=np.float64(187.25)),
    "bool-bar-count": lambda: bars_at(minutes(5), count=True),
    "one-bar": lambda: bars_at(minutes(1)),
    "many-bars": lambda: bars_at(minutes(5000)),
    "bar-subclass": lambda: bars_at(minutes(20), cls=VendorBar),
    "subclass-after-plain-bars": lambda: bars_at(minutes(3)) + bars_at(minutes(3), cls=VendorBar),
    "negative-bar-count": lambda: bars_at(minutes(5), count=-1),
    "bar-count-above-int64": lambda: bars_at(minutes(5), count=2**63),
    "bar-count-above-uint64": lambda: bars_at(minutes(5), count=2**70),
    "huge-prices": lambda: bars_at(minutes(5), price=1e300),
}


class StandInGateway:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        return self.bars


@pytest.fixture
def printed(monkeypatch) -> list[pd.DataFrame]:
    frames = []
    monkeypatch.setattr(kline, "printFrame", lambda frame, title: frames.append(frame))
    monkeypatch.setattr(kline, "_kline_cache", None)
    return frames


def command(gateway=None) -> kline.IOpKline:
    cmd = kline.IOpKline(ib=gateway)
    cmd.symbol = "AAPL"
    return cmd


def newest_day(bars) -> list:
    """The bars dated on the last bar's day: the intraday curve keeps only those."""

    def day(bar):
        return bar.date.date() if isinstance(bar.date, datetime) else bar.date

    return [bar for bar in bars if day(bar) == day(bars[-1])]


ROUTES = {
    "intraday": (lambda cmd, bars: cmd._intraday(CONTRACT), newest_day),
    "kline": (lambda cmd, bars: cmd._kline(CONTRACT, ["day", str(len(bars))]), list),
}


@pytest.mark.parametrize("route", ROUTES, ids=lambda r: f"via-{r}")
@pytest.mark.parametrize("make_bars", GATEWAY_CASES.values(), ids=GATEWAY_CASES.keys())
async def test_gateway_table_and_records_equal_plain_pandas(printed, route, make_bars):
    bars = make_bars()
    request, kept = ROUTES[route]
    expected = plain_table(kept(bars))
    result = await request(command(StandInGateway(bars)), bars)
    assert len(printed) == 1
    assert_same(printed[0], result["bars"], expected)
    assert shape_of(round_trip(result["bars"])) == shape_of(result["bars"])  # the bar store keeps every kind


async def test_bars_are_left_as_they_came(printed):
    bars = bars_at(minutes(3))
    before = [repr(b) for b in bars]
    await command(StandInGateway(bars))._intraday(CONTRACT)
    assert [repr(b) for b in bars] == before


async def test_bars_list_emptied_while_its_bars_are_read(printed):
    """Python code run by reading a bar empties the list the bars came in."""
    bars = []

    @dataclass
    class EmptyingBar(BarData):
        def __getattribute__(self, name):
            if name == "barCount":
                if not bars:  # later reads fail: the table is then the plain pipeline's
                    raise AttributeError(name)
                bars.clear()
            return super().__getattribute__(name)

    # 33 MB of item pointers: malloc maps such a block on its own and unmaps it when it is freed.
    bars.extend([bar(datetime(2025, 6, 13, 9, 30), 0, cls=EmptyingBar)] * 4_200_000)
    await command(StandInGateway(bars))._history(CONTRACT, ["2025-06-01", "2025-06-30", "1m"])
    assert len(printed) == 1


async def test_kline_keeps_only_the_last_count_bars(printed):
    bars = bars_at(minutes(10))
    result = await command(StandInGateway(bars))._kline(CONTRACT, ["1m", "4"])
    assert_same(printed[0], result["bars"], plain_table(bars[-4:]))


@pytest.mark.parametrize("collector_on", [True, False], ids=["collector-on", "collector-off"])
@pytest.mark.parametrize(
    "make_bars", [lambda: bars_at(minutes(50)), lambda: bars_at(daily_dates(50))], ids=["time-stamps", "calendar-dates"]
)
async def test_records_are_left_to_themselves_and_the_collector_as_it_was(printed, collector_on, make_bars):
    """Records hold nothing that could lead back to them: the collector need never walk them."""
    (gc.enable if collector_on else gc.disable)()
    try:
        records = (await command(StandInGateway(make_bars()))._intraday(CONTRACT))["bars"]
        assert gc.isenabled() is collector_on
    finally:
        gc.enable()
    assert not any(gc.is_tracked(record) or gc.is_tracked(record["date"]) for record in records)


async def test_records_leave_the_missing_time_stamp_to_pandas(printed):
    bars = bars_at(minutes(3, None))
    bars[1].date = None  # the plain pipeline's date column: pandas' one NaT object
    records = (await command(StandInGateway(bars))._kline(CONTRACT, ["1m", "3"]))["bars"]
    assert records[1]["date"] is pd.NaT and gc.is_tracked(pd.NaT)


async def test_records_are_new_objects_each_fetch(printed):
    bars = bars_at(daily_dates(3))
    first = (await command(StandInGateway(bars))._intraday(CONTRACT))["bars"]
    kline._kline_cache = None
    second = (await command(StandInGateway(bars))._intraday(CONTRACT))["bars"]
    assert first == second and first is not second and first[0] is not second[0]


# ---------------------------------------------------------------- the fallback's frames


def with_missing(hist: pd.DataFrame) -> pd.DataFrame:
    hist = hist.astype({"Volume": "float64"})
    hist.iloc[::4, hist.columns.get_indexer(["Close", "Volume"])] = np.nan
    return hist


def with_column(hist: pd.DataFrame, name: str, pattern: list) -> pd.DataFrame:
    hist[name] = pd.Series((pattern * len(hist))[: len(hist)], index=hist.index, dtype=object)
    return hist


YFINANCE_CASES = {
    "intraday-exchange-zone": lambda: make_history_frame(30, "1m"),
    "daily-zone-aware-midnights": lambda: make_history_frame(20, "1d"),
    "zone-naive-index": lambda: make_history_frame(20, "1m", tz=None),
    "adj-close-column": lambda: make_history_frame(20, "1d", auto_adjust=False),
    "capital-gains-column": lambda: make_history_frame(20, "1d", extra_columns={"Capital Gains": 0.0}),
    "missing-prices-and-volumes": lambda: with_missing(make_history_frame(21, "1m")),
    "repaired-flags": lambda: with_column(make_history_frame(9, "1d"), "Repaired?", [False, True, None]),
    "text-column-with-gaps": lambda: with_column(make_history_frame(9, "1m"), "Note", ["ok", None]),
    "mixed-object-column": lambda: with_column(make_history_frame(9, "1m"), "Misc", [1, "a", pd.NA, 2.5]),
    "unnamed-index": lambda: make_history_frame(20, "1m", index_name=None),
    "without-dividends-and-splits": lambda: make_history_frame(20, "1m").drop(columns=["Dividends", "Stock Splits"]),
    "one-row": lambda: make_history_frame(1, "1m"),
    "column-named-like-the-table": lambda: make_history_frame(9, "1m", extra_columns={"average": 1.5}),
}


@pytest.mark.parametrize("make_hist", YFINANCE_CASES.values(), ids=YFINANCE_CASES.keys())
async def test_yfinance_table_and_records_equal_plain_pandas(printed, fake_yf, make_hist):
    hist = make_hist()
    fake_yf.respond_with(hist)
    result = await command()._intraday_yfinance()
    assert len(printed) == 1
    assert_same(printed[0], result["bars"], plain_yfinance_table(hist))
    assert shape_of(round_trip(result["bars"])) == shape_of(result["bars"])
