"""A host terminal around the kline module on the gateway route, for the tests in this folder."""

from __future__ import annotations

import asyncio
import datetime as dt
from dataclasses import dataclass, field

import quorvane.cmds.quotes.kline as kline
from ibsim import GatewaySimulator
from quorvane.state import HostState

# The simulator's "now" in these tests: every request has whole sessions behind it.
FRIDAY_AFTER_CLOSE = dt.datetime(2025, 6, 13, 20, 30, tzinfo=dt.UTC)
RUN_TIMEOUT = 5.0
BAR_FIELDS = ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
# the bar size asked for each period word (an alias asks as its canonical word)
BAR_SIZES = {
    "1m": "1 min",
    "5m": "5 mins",
    "1h": "1 hour",
    "day": "1 day",
    "week": "1 week",
    "month": "1 month",
    "year": "1 month",
}


class RecordedFallback(kline.IOpKline):
    """The command with its public-data fallback replaced by a recorder."""

    async def _run_yfinance(self, rest):
        self.__dict__.setdefault("fallbacks", []).append((self.symbol, rest))
        return {"fallback": True, "symbol": self.symbol}


@dataclass
class Terminal:
    """Runs kline lines as the host does and keeps what they left behind."""

    sim: GatewaySimulator
    state: HostState
    logs: list[str] = field(default_factory=list)  # "LEVEL|message"
    prints: list[tuple] = field(default_factory=list)  # (frame, title) per printFrame call
    last: kline.IOpKline | None = None  # the command object of the latest line

    @property
    def requests(self):
        return self.sim.history_requests

    @property
    def titles(self) -> list[str]:
        return [title for _, title in self.prints]

    def command(self, line: str, command=kline.IOpKline, online: bool = True) -> kline.IOpKline:
        """The command object as the host builds it for `kline <line>`; offline has no gateway."""
        state = self.state if online else HostState()
        symbol, *rest = line.split()
        self.last = command(state=state, ib=state.ib)
        self.last.symbol, self.last.rest = symbol.upper(), rest
        return self.last

    async def run(self, line: str, command=kline.IOpKline, online: bool = True) -> dict:
        return await bounded(self.command(line, command, online).run())

    def cached(self, builder: str, *key) -> list | None:
        """The cache entry under KlineCache.<builder>(*key)."""
        return kline._get_cache().get(getattr(kline.KlineCache, builder)(*key))


async def bounded(awaitable):
    return await asyncio.wait_for(awaitable, RUN_TIMEOUT)


async def until(condition) -> None:
    """Wait for something the simulator receives after the command has already returned."""

    async def poll():
        while not condition():
            await asyncio.sleep(0.01)

    await bounded(poll())


def sent(request) -> tuple:
    """What a decoded historical-data request asked for."""
    c = request.contract
    return (
        c.secType,
        c.symbol,
        request.endDateTime,
        request.durationStr,
        request.barSizeSetting,
        request.whatToShow,
        request.useRTH,
        request.keepUpToDate,
    )
