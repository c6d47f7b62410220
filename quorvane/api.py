"""The terminal's commands from Python: notebooks and scripts.

    from quorvane import api

    record = api.kline("AAPL", "5m", 200, gateway="127.0.0.1:4002")
    frame = api.bars_frame(record, tz=True)        # time-indexed, in the bars' own zone

In code that already runs an event loop (Jupyter does), await the same call:

    record = await api.kline_async("AAPL", "day", 100)

Requests go through the same command runner and the same bar cache as the
command line, so a repeated request in one process answers from the cache.
`gateway` is "HOST:PORT", an `ib_async.IB` that is already connected (kept
open), or None: $QUORVANE_GATEWAY if set, else public data only. Tables are
not printed; log lines go to loguru's handlers as usual.
"""

from __future__ import annotations

import os

import pandas as pd

from mutil.frame import tables_hidden
from quorvane.connection import ENV_GATEWAY, GatewayAddress
from quorvane.loader import load_commands
from quorvane.records import TIMEZONE, bars_of
from quorvane.request import request
from quorvane.state import HostState
from quorvane.words import check_words

__all__ = ["kline", "kline_async", "bars_frame"]


def kline(symbol: str, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """Candlestick bars, as the command `kline SYMBOL WORDS...` fetches them; the result record.

    Words as on the command line: kline("AAPL", "5m", 200, "adj"), kline("AAPL", "2025-01-01", "day").
    Outside a running event loop; inside one, await kline_async.
    """
    from ib_async import util

    loop = util.getLoop()
    if loop.is_running() and not hasattr(loop, "_nest_patched"):  # nest_asyncio (util.startLoop) lets it wait
        raise RuntimeError("kline() cannot wait inside a running event loop: use `await kline_async(...)`")
    return util.run(kline_async(symbol, *words, gateway=gateway, client_id=client_id))


async def kline_async(symbol: str, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """kline() for code that runs an event loop."""
    return await run("kline", symbol, *words, gateway=gateway, client_id=client_id)


async def run(command: str, *words: str | int, gateway=None, client_id: int = 1) -> dict:
    """Any command line, as words; the result record (an error record when it fails).

    ValueError for words the command would ignore or mistake ("5min", a count of 0, 2025-02-30)."""
    if not load_commands():
        raise ImportError("the command modules cannot load (see the line above)")
    line = [command, *(str(word) for word in words)]
    if problem := check_words(command, line[1:]):
        raise ValueError(problem)
    state, owned = await _state(gateway, client_id)
    try:
        with tables_hidden():
            return await request(line, state)
    finally:
        if owned:
            state.disconnect()


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


def bars_frame(record: dict, tz: bool | str = False) -> pd.DataFrame:
    """The record's bars as a DataFrame indexed by bar time (`date`), oldest first.

    Times are wall-clock times of the bars' zone. `tz=True` makes the index aware of
    the zone the record names (ValueError when it names none, as daily bars do);
    a zone name ("America/New_York") localizes to that zone instead.
    """
    bars = bars_of(record)
    if bars is None:
        cause = record.get("error", record) if isinstance(record, dict) else record
        raise ValueError(f"no bars in this record: {cause}")
    frame = pd.DataFrame(bars)
    if frame.empty:
        return frame.set_index(pd.DatetimeIndex([], name="date"))
    frame = frame.set_index(pd.DatetimeIndex(pd.to_datetime(frame.pop("date")), name="date"))
    zone = record.get(TIMEZONE) if tz is True else tz or None
    if tz is True and not zone:
        raise ValueError("the record names no time zone for its bars (daily bars have none)")
    return frame.tz_localize(zone) if zone else frame
