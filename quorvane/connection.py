"""Where the session's gateway is (--sim, --gateway, QUORVANE_GATEWAY or none) and keeping it connected."""

from __future__ import annotations

import asyncio
import os
from dataclasses import dataclass

from loguru import logger

from quorvane.backoff import Backoff
from quorvane.gateway.bar_store.choice import keep_simulated_bars_apart
from quorvane.state import HostState

ENV_GATEWAY = "QUORVANE_GATEWAY"
SIM_HOST = "127.0.0.1"
# Reconnect attempts wait this long at first, doubling after each failure up to the cap.
RETRY_FIRST = 1.0
RETRY_MAX = 15.0


@dataclass(frozen=True)
class GatewayAddress:
    host: str
    port: int

    @classmethod
    def parse(cls, text: str) -> GatewayAddress:
        """HOST:PORT; an IPv6 host goes in brackets: [::1]:4002."""
        text = text.strip()
        if text.startswith("["):
            host, bracket, port = text[1:].partition("]")
            port = port[1:] if bracket and port.startswith(":") else ""
        else:
            host, _, port = text.rpartition(":")
            if ":" in host or (not host and text.count(":") > 1):
                raise ValueError(
                    f"write an IPv6 address in brackets, with the port after it (e.g. [::1]:4002), got {text!r}"
                )
        if not host or not port.isdigit() or not 0 < int(port) < 65536:
            raise ValueError(f"expected HOST:PORT, got {text!r}")
        return cls(host, int(port))

    def __str__(self) -> str:
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"


class Connection:
    """The session's gateway: its address, the simulator serving it (--sim), and reconnection.

    `state` is what commands see; its `connected` turns false as soon as the
    gateway goes away, so requests fall back to public data until it returns.
    """

    def __init__(self, state: HostState, address: GatewayAddress | None, client_id: int = 1, sim=None) -> None:
        self.state = state
        self.address = address
        self.client_id = client_id
        self.sim = sim
        self.retry_first = RETRY_FIRST
        self.retry_max = RETRY_MAX
        self._lost = asyncio.Event()
        self._watchdog: asyncio.Task | None = None
        self._closing = False

    def describe(self) -> str:
        if self.address is None:
            return "no gateway: requests use public data (yfinance)"
        where = f"simulator at {self.address}" if self.sim is not None else f"gateway at {self.address}"
        status = "connected" if self.state.connected else "disconnected: requests use public data"
        return f"{where}, {status}"

    async def connect(self, quiet: bool = False) -> bool:
        if self.address is None:
            return False
        extra = {"quiet": True} if quiet else {}  # plain calls keep the state's own signature
        ib = await self.state.connect(self.address.host, self.address.port, self.client_id, **extra)
        if ib is None:
            self._lost.set()
            return False
        ib.disconnectedEvent += self._on_disconnected
        self.client_id = ib.client.clientId  # another id when this one was in use: keep it for reconnects
        return True

    def keep_connected(self) -> None:
        """Reconnect in the background whenever the gateway is lost (the shell's long sessions)."""
        if self.address is not None and self._watchdog is None:
            self._watchdog = asyncio.create_task(self._reconnect_loop(), name="gateway-reconnect")

    async def close(self) -> None:
        self._closing = True
        if self._watchdog is not None:
            self._watchdog.cancel()
            await asyncio.gather(self._watchdog, return_exceptions=True)
        self.state.disconnect()
        if self.sim is not None:
            await self.sim.stop()

    def _on_disconnected(self) -> None:
        if self._closing:
            return
        logger.warning(
            "Lost connection to gateway at {}; requests fall back to public data until it returns", self.address
        )
        self._lost.set()

    async def _reconnect_loop(self) -> None:
        delays = Backoff(self.retry_first, cap=self.retry_max)
        while True:
            await self._lost.wait()
            if self.state.connected:
                self._lost.clear()
                continue
            await asyncio.sleep(delays.next())
            if await self.connect(quiet=True):
                logger.info("Reconnected to gateway at {}", self.address)
                self._lost.clear()
                delays.reset()


async def open_connection(
    state: HostState, *, sim: bool = False, gateway: GatewayAddress | None = None, client_id: int = 1
) -> Connection | None:
    """Start the simulator (sim) or pick the gateway address, and connect once.

    An unreachable gateway is one log line, and the session goes on without
    it; None only when --sim was asked for and the simulator cannot start.
    """
    simulator = None
    if sim:
        keep_simulated_bars_apart()  # before the bar cache or the pacing guard choose their store
        simulator, port = await _start_simulator()
        if simulator is None:
            return None
        gateway = GatewayAddress(SIM_HOST, port)
    elif gateway is None:
        gateway = _address_from_environment()
    connection = Connection(state, gateway, client_id, simulator)
    await connection.connect()
    return connection


def _address_from_environment() -> GatewayAddress | None:
    text = os.environ.get(ENV_GATEWAY, "").strip()
    if not text:
        return None
    try:
        return GatewayAddress.parse(text)
    except ValueError as exc:
        logger.error("Ignoring {}: {}; requests use public data", ENV_GATEWAY, exc)
        return None


async def _start_simulator():
    """The simulator serving on a free loopback port, or (None, 0) after one error line."""
    try:
        from ibsim import GatewaySimulator  # only --sim needs it
        from ibsim.options import options_from_environment

        simulator = GatewaySimulator(**options_from_environment())
        return simulator, await simulator.start(SIM_HOST, 0)
    except (ImportError, OSError, ValueError) as exc:
        logger.error("Cannot start the gateway simulator: {}: {}", type(exc).__name__, exc)
        return None, 0
