"""A quiet host around the kline module, as the checks drive it.

The gateway is ibsim on loopback, spoken to by the real ib_async client through the host's own
state (HostState with its GatewayClient, or a plain ib_async.IB to show what the host's policy
prevents). yfinance is the stand-in of tests/fixtures/yf.py, installed as the `yfinance` module.
Log lines are dropped and printed tables go to a printer the check chooses, so figures stay readable.
"""

from __future__ import annotations

import datetime as dt
import inspect
import logging
import os
import sys
import types
from collections.abc import Callable
from contextlib import contextmanager
from pathlib import Path
from unittest import mock

from ib_async import IB
from loguru import logger

from ibsim import GatewaySimulator
from quorvane.cmds.base import run_command
from quorvane.gateway.kline_cache import KlineCache
from quorvane.gateway.pacing import Pacer, Unlimited
from quorvane.state import HostState

ROOT = Path(__file__).resolve().parents[1]
if str(ROOT / "tests") not in sys.path:  # the yfinance stand-in lives with the test fixtures
    sys.path.append(str(ROOT / "tests"))

import quorvane.cmds.quotes.kline as kline  # noqa: E402
from fixtures.yf import FakeYfinance  # noqa: E402

# The simulator's "now": a Friday after the close, so every request has whole sessions behind it.
SIM_NOW = dt.datetime(2025, 6, 13, 20, 30, tzinfo=dt.UTC)
# Simulator switches that would slow the checks down or change answers between runs; off where this
# simulator has them. The host's client is told the same (no pacing of its own).
STEADY_SIMULATOR = {"pacing": False, "latency": None}


def quick_pacer(**options) -> Pacer:
    """No pacing of the host's own, and a request paced out (an injected fault) tried again at once."""
    pacer = Pacer(Unlimited(), **options)
    pacer.PACING_BACKOFF = (0.001,)
    return pacer


CONNECT_TIMEOUT = 5.0

Printer = Callable[[object, object], None]


def simulator(**options) -> GatewaySimulator:
    """A simulator on the fixed clock, with pacing and latency off when it offers those switches."""
    accepted = inspect.signature(GatewaySimulator).parameters
    steady = {name: value for name, value in STEADY_SIMULATOR.items() if name in accepted}
    return GatewaySimulator(**{"clock": SIM_NOW, **steady, **options})


@contextmanager
def quiet():
    """No log lines meanwhile, from loguru or the standard library's loggers."""
    for name in ("", None):  # every module, and callers without one
        logger.disable(name)
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(logging.NOTSET)
        for name in ("", None):
            logger.enable(name)


def discard(frame, title) -> None:
    """A printer that prints nothing."""


def install_yfinance() -> FakeYfinance:
    """The yfinance stand-in, installed for the rest of the process."""
    fake = FakeYfinance()
    sys.modules["yfinance"] = fake
    return fake


def set_printer(printer: Printer) -> None:
    """The printFrame the module calls from now on."""
    kline.printFrame = printer


def pin_today(day: dt.date) -> None:
    """The local date the module reads (through its `datetime` global) is `day` from now on."""
    kline.datetime = types.SimpleNamespace(
        date=types.SimpleNamespace(today=lambda: day, fromisoformat=dt.date.fromisoformat),
        timedelta=dt.timedelta,
    )


def memory_cache() -> KlineCache:
    """A new bar cache that keeps its bars in memory only, whatever store the environment names:
    a check neither writes to the user's bar store nor meets answers an earlier run left there."""
    with mock.patch.dict(os.environ, {"KLINE_CACHE_URL": "memory:"}):
        return KlineCache()


def fresh_cache() -> None:
    """The module's requests meet an empty bar cache from now on."""
    kline._kline_cache = memory_cache()


class Host:
    """The simulator and a host state connected to it; `offline` is a state without a gateway."""

    def __init__(self, *, plain_ib: bool = False, **simulator_options) -> None:
        self.sim = simulator(**simulator_options)
        self.plain_ib = plain_ib
        self.state = HostState()
        self.offline = HostState()

    async def start(self) -> Host:
        await self.sim.start("127.0.0.1", 0)
        await self.connect()
        return self

    async def connect(self) -> None:
        """(Re)connect the state; a plain client is connected here, the host's own by HostState."""
        if self.plain_ib:
            ib = IB()
            await ib.connectAsync("127.0.0.1", self.sim.port, clientId=1, timeout=CONNECT_TIMEOUT)
            self.state.ib = ib
        elif await self.state.connect("127.0.0.1", self.sim.port, timeout=CONNECT_TIMEOUT, quiet=True) is None:
            raise ConnectionError(f"cannot connect to the simulator on port {self.sim.port}")
        else:
            self.state.ib.pacer = quick_pacer()  # the simulator keeps no pacing limits either

    async def stop(self) -> None:
        self.state.disconnect()
        await self.sim.stop()

    def run(self, words: list[str], *, online: bool = True):
        """The coroutine the shell runs for the line `kline <words>`."""
        return run_command(["kline", *words], state=self.state if online else self.offline)

    def forget(self) -> None:
        """Drop what the simulator remembers of past requests and faults not yet used."""
        self.sim.requests.clear()
        while self.sim.take_fault() is not None:
            pass
