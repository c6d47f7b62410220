"""The terminal's commands from Python: notebooks and scripts.

    from quorvane import api

    record = api.kline("AAPL", "5m", 200, gateway="127.0.0.1:4002")
    records = api.kline(["AAPL", "MSFT", "SPY"], "day", 100)   # {symbol: record}, fetched at once
    frame = api.bars_frame(records, tz=True)       # indexed by (symbol, date), in the exchange's zone
    frame = api.download(["AAPL", "MSFT"], "day", 100)        # the same frame in one call

In code that already runs an event loop (Jupyter does), await the same call:

    record = await api.kline_async("AAPL", "day", 100)

Requests go through the same command runner and the same bar cache as the
command line, so a repeated request in one process answers from the cache.
`gateway` is "HOST:PORT", an `ib_async.IB` that is already connected (kept
open), or None: $QUORVANE_GATEWAY if set, else public data only. Nothing is
printed: no tables, and no log lines until `logger.enable("quorvane")`.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Iterable
from typing import cast

import pandas as pd

from mutil.frame import tables_hidden
from quorvane.batch import SEPARATOR, fetch_all, split_symbols
from quorvane.connection import ENV_GATEWAY, GatewayAddress
from quorvane.loader import load_commands
from quorvane.records import TIMEZONE, bars_of
from quorvane.request import request
from quorvane.state import HostState
from quorvane.words import check_words
from quorvane.zones import bar_zone

__all__ = ["kline", "kline_async", "bars_frame", "download"]

Symbols = str | Iterable[str]  # "AAPL", or several: ["AAPL", "MSFT"] or "AAPL,MSFT"
PRICE_COLUMNS = ("open", "high", "low", "close", "average")
COUNT_COLUMNS = ("volume", "barCount")


def kline(symbols: Symbols, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """Candlestick bars, as the command `kline SYMBOL WORDS...` fetches them.

    Words as on the command line: kline("AAPL", "5m", 200, "adj"), kline("AAPL", "2025-01-01", "day").
    One symbol gives its result record; several give {symbol: record} in the order given,
    fetched at once (a symbol that fails has its error record). Every record with bars names
    the exchange's zone under "timezone" when the host knows it.
    Outside a running event loop; inside one, await kline_async.
    """
    from ib_async import util

    loop = util.getLoop()
    if loop.is_running() and not hasattr(loop, "_nest_patched"):  # nest_asyncio (util.startLoop) lets it wait
        raise RuntimeError("kline() cannot wait inside a running event loop: use `await kline_async(...)`")
    return util.run(kline_async(symbols, *words, gateway=gateway, client_id=client_id))


async def kline_async(symbols: Symbols, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """kline() for code that runs an event loop."""
    return await run("kline", symbols, *words, gateway=gateway, client_id=client_id)


def download(symbols: Symbols, *words: str | int, tz: bool | str = False, gateway=None, client_id: int = 1):
    """kline() and bars_frame() in one call: the bars as a DataFrame, as yfinance's download gives them.

    ValueError when no symbol has bars.
    """
    return bars_frame(kline(symbols, *words, gateway=gateway, client_id=client_id), tz=tz)


async def run(command: str, symbols: Symbols, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """Any command line, as words after the symbol; the result record, or {symbol: record} for several.

    ValueError for words the command would ignore or mistake ("5min", a count of 0, 2025-02-30)."""
    if not load_commands():
        raise ImportError("the command modules cannot load (see the line above)")
    several = _symbols(symbols)
    rest = [str(word) for word in words]
    if problem := check_words(command, [several[0] if several else str(symbols), *rest]):
        raise ValueError(problem)
    state, owned = await _state(gateway, client_id)
    try:
        with tables_hidden():
            if several is None:
                return await _named_zone(await request([command, str(symbols), *rest], state), state)
            records = await fetch_all(command, several, rest, state)
            records = await asyncio.gather(*(_named_zone(record, state) for record in records))
            return {symbol.upper(): record for symbol, record in zip(several, records, strict=True)}
    finally:
        if owned:
            state.disconnect()


def _symbols(symbols: Symbols) -> list[str] | None:
    """The symbols of a call naming several, or None for one."""
    if isinstance(symbols, str):
        return split_symbols(symbols) if SEPARATOR in symbols else None
    return split_symbols(SEPARATOR.join(str(symbol) for symbol in symbols))


async def _named_zone(record: dict, state) -> dict:
    """The record, naming the exchange's zone of its bars where the host knows it (daily bars too)."""
    if bars_of(record) and not record.get(TIMEZONE):
        zone = await bar_zone(record, state, dates_too=True)
        if zone:
            record[TIMEZONE] = zone
    return record


async def _state(gateway, client_id: int) -> tuple[HostState, bool]:
    """The host state to run with, and whether this call opened its connection (and closes it)."""
    if gateway is None:
        gateway = os.environ.get(ENV_GATEWAY) or None
    if gateway is None:
        return HostState(), False
    if not isinstance(gateway, (str, GatewayAddress)):
        return HostState(gateway), False  # the caller's connected ib_async.IB
    address = GatewayAddress.parse(gateway) if isinstance(gateway, str) else gateway
    state = HostState()
    await state.connect(address.host, address.port, client_id)  # unreachable: one error line, public data
    return state, True


def bars_frame(records: dict, tz: bool | str = False) -> pd.DataFrame:
    """Bars as a DataFrame with a DatetimeIndex (`date`), oldest first; float64 prices, Int64 counts.

    One record gives a frame indexed by bar time; {symbol: record} one indexed by (symbol, date),
    leaving out the symbols that failed (ValueError when all did). Times are wall-clock times of
    the exchange. `tz=True` makes the index aware of the zone each record names (ValueError when
    one names none); symbols of different zones are then given in UTC. A zone name
    ("America/New_York") localizes to that zone instead.
    """
    if not _is_record(records):
        frames = {symbol: _frame(record, tz) for symbol, record in records.items() if bars_of(record)}
        if not frames:
            raise ValueError(f"no symbol has bars: {_errors(records)}")
        zones = {str(cast(pd.DatetimeIndex, frame.index).tz) for frame in frames.values()}
        if len(zones) > 1:
            frames = {symbol: frame.tz_convert("UTC") for symbol, frame in frames.items()}
        return pd.concat(frames, names=["symbol", "date"])
    return _frame(records, tz)


def _is_record(value: object) -> bool:
    return isinstance(value, dict) and ("bars" in value or "error" in value or not value)


def _errors(records: dict) -> str:
    return "; ".join(f"{symbol}: {record.get('error', '?')}" for symbol, record in records.items())


def _frame(record: dict, tz: bool | str) -> pd.DataFrame:
    bars = bars_of(record)
    if bars is None:
        cause = record.get("error", record) if isinstance(record, dict) else record
        raise ValueError(f"no bars in this record: {cause}")
    frame = pd.DataFrame(bars)
    if frame.empty:
        return frame.set_index(pd.DatetimeIndex([], name="date"))
    frame = _typed(frame.set_index(pd.DatetimeIndex(pd.to_datetime(frame.pop("date")), name="date")))
    zone = record.get(TIMEZONE) if tz is True else tz or None
    if tz is True and not zone:
        raise ValueError(f"the record of {record.get('symbol', '?')} names no time zone for its bars")
    return frame.tz_localize(zone) if zone else frame


def _typed(frame: pd.DataFrame) -> pd.DataFrame:
    """Prices as float64 (NaN where missing); counts as Int64, or float64 where fractional."""
    for name in PRICE_COLUMNS:
        if name in frame:
            frame[name] = pd.to_numeric(frame[name], errors="coerce").astype("float64")
    for name in COUNT_COLUMNS:
        if name in frame:
            values = pd.to_numeric(frame[name], errors="coerce").astype("float64")
            whole = values.dropna()
            frame[name] = values.astype("Int64") if (whole == whole.round()).all() else values
    return frame
