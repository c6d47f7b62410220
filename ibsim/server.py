"""GatewaySimulator: an asyncio TCP server that speaks the TWS API like IB Gateway."""

import asyncio
import datetime as dt
import logging
import time
from collections import deque
from collections.abc import Callable, Iterable
from zoneinfo import ZoneInfo

from . import answers
from .bar_text import BarTimes
from .connection import ClientConnection
from .faults import Fault
from .history import DEFAULT_MAX_BARS, HistoricalDataDesk
from .messages import CancelHistoricalData, HistoricalDataRequest
from .rules import Refusals
from .scenarios import Scenario, scenario_of
from .timing import DEFAULT_SERVING, NO_LATENCY, Latency, Pacing
from .universe import FutureSpec, StockSpec, Universe, default_universe

log = logging.getLogger("ibsim")

Clock = Callable[[], dt.datetime]


def _as_clock(clock: Clock | dt.datetime | None) -> Clock:
    if clock is None:
        return lambda: dt.datetime.now(dt.UTC)
    if isinstance(clock, dt.datetime):
        if clock.tzinfo is None:
            raise ValueError("a fixed simulator time must be timezone-aware")
        return lambda: clock
    return clock


class GatewaySimulator:
    """Stand-in for IB Gateway on loopback, for the unmodified ib_async client.

    `clock` fixes "now" (an aware datetime, or a callable returning one) so
    that answers are reproducible; by default the wall clock is used.
    `operator_zone` is the gateway's own zone: assumed for end times that name
    none, and the zone futures' last trade times are given in. `bar_times`
    is the operator's choice of how intraday bar times are sent: "instrument"
    (the exchange's zone), "operator" (`operator_zone`) or "utc" (the UTC
    form "yyyymmdd-hh:mm:ss"). An intraday request that could hold more than
    `max_bars` bars is refused with 162 "Time length exceed max.". `refusals`
    chooses the answer to each refused request. `scenario` plays one of a
    gateway's bad days (a name of scenarios.SCENARIOS or a Scenario).
    `pacing` enforces IBKR's pacing limits, counted on `pacing_clock` (seconds,
    monotonic), which is independent of `clock`. `latency` delays each answer
    with bars (None: answer at once). `serving` is how many answers it works on
    at once; others wait for a free slot. `served` lists the (start, end)
    monotonic moments of each answer's serving time.
    """

    def __init__(
        self,
        universe: Universe | Iterable[StockSpec | FutureSpec] | None = None,
        seed: int = 0,
        *,
        clock: Clock | dt.datetime | None = None,
        accounts: Iterable[str] = ("DU123456",),
        operator_zone: str = "US/Eastern",
        bar_times: str = "instrument",
        max_bars: int = DEFAULT_MAX_BARS,
        refusals: Refusals = Refusals(),
        pacing: bool = True,
        pacing_clock: Callable[[], float] = time.monotonic,
        latency: Latency | None = Latency(),
        scenario: Scenario | str | None = None,
        serving: int = DEFAULT_SERVING,
    ):
        if serving < 1:
            raise ValueError(f"serving must be at least 1, got {serving}")
        if universe is None:
            universe = default_universe()
        elif not isinstance(universe, Universe):
            universe = Universe.of(universe)
        self.universe = universe
        self.seed = seed
        self.now = _as_clock(clock)
        self.accounts = list(accounts)
        self.operator_zone = operator_zone
        self.operator_tz = ZoneInfo(operator_zone)
        self.pacing = Pacing(pacing_clock) if pacing else None
        self.latency = latency or NO_LATENCY
        self.serving_slots = asyncio.Semaphore(serving)
        self.served: list[tuple[float, float]] = []
        times = BarTimes(bar_times, operator_zone)  # a setting or zone it does not know fails here
        self.scenario = scenario_of(scenario)
        self.desk = HistoricalDataDesk(universe, seed, times, max_bars, refusals, self.pacing)
        self.next_order_id = 1
        self.requests: list = []
        self.host = ""
        self.port = 0
        self._faults: deque[Fault] = deque()
        self._server: asyncio.Server | None = None
        self._connections: set[ClientConnection] = set()
        self._tasks: set[asyncio.Task] = set()

    def set_clock(self, clock: Clock | dt.datetime | None) -> None:
        """Change "now": an aware datetime, a callable returning one, or None (wall clock)."""
        self.now = _as_clock(clock)

    @property
    def history_requests(self) -> list[HistoricalDataRequest]:
        return [r for r in self.requests if isinstance(r, HistoricalDataRequest)]

    @property
    def cancel_requests(self) -> list[CancelHistoricalData]:
        return [r for r in self.requests if isinstance(r, CancelHistoricalData)]

    def serving_seconds(self, since: float = 0.0) -> float:
        """Seconds in which at least one answer begun after `since` (monotonic) was being served."""
        total, reach = 0.0, since
        for began, ended in sorted(s for s in self.served if s[0] >= since):
            total += max(0.0, ended - max(began, reach))
            reach = max(reach, ended)
        return total

    @property
    def connection_count(self) -> int:
        """Clients connected right now."""
        return len(self._connections)

    def broadcast(self, *notices: tuple[int, str]) -> None:
        """Send each (code, text) notice, with reqId -1, to every connected client."""
        for connection in list(self._connections):
            for code, text in notices:
                connection.send(answers.error(-1, code, text))

    def inject(self, fault: Fault) -> None:
        """Queue `fault` for the next historical-data request (first in, first used)."""
        if not isinstance(fault, Fault):
            raise TypeError(f"expected a Fault, got {fault!r}")
        self._faults.append(fault)

    def take_fault(self) -> Fault | None:
        return self._faults.popleft() if self._faults else None

    async def start(self, host: str = "127.0.0.1", port: int = 0) -> int:
        """Listen on host:port (0 picks a free port); returns the bound port."""
        if self._server is not None:
            raise RuntimeError("simulator already started")
        self._server = await asyncio.start_server(self._serve, host, port)
        self.host, self.port = self._server.sockets[0].getsockname()[:2]
        log.info("gateway simulator listening on %s:%s", self.host, self.port)
        return self.port

    async def stop(self) -> None:
        """Stop listening and close every client connection."""
        if self._server is None:
            return
        self._server.close()
        for connection in list(self._connections):
            connection.close()
        if self._tasks:
            await asyncio.wait(self._tasks, timeout=2)
        await self._server.wait_closed()
        self._server = None

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        connection = ClientConnection(self, reader, writer)
        self._connections.add(connection)
        task = asyncio.current_task()
        assert task is not None, "asyncio serves each connection in a task of its own"
        self._tasks.add(task)
        try:
            await connection.run()
        finally:
            self._connections.discard(connection)
            self._tasks.discard(task)
