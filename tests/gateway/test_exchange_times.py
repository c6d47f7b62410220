"""The same bars, in the exchange's wall-clock time, wherever the host runs and however the gateway
is set to send times: ranges hold their last day whole, the intraday curve is one session, and the
summary names the exchange's zone."""

import time

import pandas as pd
import pytest

import quorvane.cmds.quotes.kline as kline
from ibsim import GatewaySimulator
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.pacing import Pacer, Unlimited
from quorvane.state import HostState
from quorvane.zones import bar_zone
from support.gateway_terminal import FRIDAY_AFTER_CLOSE, Terminal

NEW_YORK = "America/New_York"
# Host zone, simulator settings.
SETTINGS = {
    "host-in-tokyo": ("Asia/Tokyo", {}),
    "host-in-london": ("Europe/London", {}),
    "operator-in-tokyo": (NEW_YORK, {"operator_zone": "Asia/Tokyo", "bar_times": "operator"}),
    "utc-bar-times": (NEW_YORK, {"bar_times": "utc"}),
    "all-at-once": ("Asia/Tokyo", {"operator_zone": "Asia/Tokyo", "bar_times": "utc"}),
}
RANGE_30M = "AAPL 2025-06-09 2025-06-12 30m"
LINES = [
    RANGE_30M,
    "AAPL 2025-06-09 2025-06-12 day",
    "AAPL intraday",
    "AAPL 5m 100",
    "/ES intraday",
    "/CL 2025-06-09 2025-06-12 1h",
]
EXCHANGE_ZONES = {"AAPL": "US/Eastern", "/ES": "America/Chicago", "/CL": "America/New_York"}

_new_york: dict[str, tuple] = {}  # line -> (bars, zone) from a default gateway, host in New York


async def answers(terminal: Terminal, monkeypatch) -> dict[str, tuple]:
    """Each line's bars and the zone its summary names, each line asked of the gateway afresh."""
    result = {}
    monkeypatch.setenv("KLINE_CACHE_URL", "memory:")
    for line in LINES:
        monkeypatch.setattr(kline, "_kline_cache", None)
        record = await terminal.run(line)
        result[line] = (record["bars"], await bar_zone(record, terminal.state))
    return result


async def in_new_york(monkeypatch) -> dict[str, tuple]:
    if not _new_york:
        sim = GatewaySimulator(clock=FRIDAY_AFTER_CLOSE, pacing=False, latency=None)
        client = GatewayClient(pacer=Pacer(Unlimited()))
        try:
            with pytest.MonkeyPatch.context() as patch:
                patch.setenv("TZ", NEW_YORK)
                time.tzset()
                await client.connectAsync("127.0.0.1", await sim.start(), clientId=1, timeout=5)
                _new_york.update(await answers(Terminal(sim, HostState(client)), monkeypatch))
        finally:
            time.tzset()
            client.disconnect()
            await sim.stop()
    return _new_york


@pytest.mark.parametrize("host_zone, gateway_options", SETTINGS.values(), ids=SETTINGS.keys(), indirect=["host_zone"])
async def test_every_zone_gives_the_bars_of_new_york(host_zone, terminal, monkeypatch):
    expected = await in_new_york(monkeypatch)
    got = await answers(terminal, monkeypatch)
    for line in LINES:
        assert got[line] == expected[line], line
        assert got[line][1] in (EXCHANGE_ZONES[line.split()[0]], None)  # daily bars have no zone

    last_day = [bar for bar in got[RANGE_30M][0] if bar["date"].date() == pd.Timestamp("2025-06-12").date()]
    assert (last_day[0]["date"].hour, len(last_day)) == (9, 13)  # the whole session of the end day
    curve = got["AAPL intraday"][0]
    assert {bar["date"].date() for bar in curve} == {FRIDAY_AFTER_CLOSE.date()} and len(curve) == 390
