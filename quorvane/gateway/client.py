"""The terminal's gateway client: ib_async's IB with the host's policy for historical requests.

- The timeout is kept with `asyncio.timeout`. On Python 3.11 `asyncio.wait_for`, which ib_async
  uses, can lose a cancellation that arrives as the answer does, so Ctrl-C would be ignored.
- A request given up (cancelled or timed out) is cancelled at the gateway too, and the gateway's
  reply to that cancel is not reported as an error.
- A warning-class refusal (321, "Error validating request") ends the request at once with an
  empty answer. ib_async treats 321 as a warning and would wait out the whole timeout.
- Refusals in the trader's words, remembered permissions and outages: see refusals.py.
- The gateway's pacing limits are kept by waiting (see pacing.py), at most a few requests are
  open at once (open_requests.py), a request the gateway paced out is tried again after a pause,
  and identical requests made while one is in flight are sent once and share its answer.
- A request for many thousand bars goes in chunks (chunks.py); a continuous future's range is
  asked of its dated months (futures_ranges.py).
- Bar times come back in the exchange's zone, and a date end means that whole day at the
  exchange, whatever zone the gateway sends and the host runs in (see bar_times.py). It remembers
  the zone of each symbol's intraday bar times.
"""

from __future__ import annotations

import asyncio
import logging
import re
import weakref
from dataclasses import dataclass, field
from datetime import date, datetime
from zoneinfo import ZoneInfo

from ib_async import IB, BarDataList, Contract, util
from ib_async.wrapper import RequestError
from loguru import logger

from quorvane.gateway import chunks, desk, futures_ranges, pacing
from quorvane.gateway.bar_times import ExchangeZones, end_of_day, to_exchange_time
from quorvane.gateway.pacing import Pacer, is_small_bar
from quorvane.gateway.refusals import GatewayConditions, GatewayRefusal

# Codes a gateway uses to refuse a historical request that ib_async takes for mere warnings.
REFUSAL_WARNINGS = frozenset({321})
PACING_REFUSAL = (162, "pacing violation")
_REQ_ID = re.compile(r"reqId (-?\d+):")


@dataclass(frozen=True)
class HistoryRequest:
    contract: Contract
    end: date | str | None  # a date, a datetime or the gateway's own text
    duration: str
    bar_size: str
    what: str
    use_rth: bool
    format_date: int
    chart_options: list = field(default_factory=list)
    zone: ZoneInfo | None = None  # the exchange's, that bar times are given in; None: as they came

    @property
    def contract_identity(self) -> tuple:
        c = self.contract
        if c.conId:
            return (c.secType, c.conId)
        return (c.secType, c.symbol, c.lastTradeDateOrContractMonth, c.exchange, c.currency, c.localSymbol)

    @property
    def identity(self) -> tuple:
        """What makes two requests identical to the gateway."""
        return (
            self.contract_identity,
            util.formatIBDatetime(self.end),
            self.duration,
            self.bar_size,
            self.what,
            self.use_rth,
            self.format_date,
            tuple(map(str, self.chart_options)),
        )

    @property
    def pacing_group(self) -> tuple:
        """Requests the gateway counts together in a burst: one contract, exchange and tick type."""
        return (self.contract_identity, self.contract.exchange, self.what)

    @property
    def paced(self) -> bool:
        return is_small_bar(self.bar_size)

    @property
    def weight(self) -> int:
        return 2 if self.what == "BID_ASK" else 1  # the gateway counts these twice

    @property
    def label(self) -> str:
        return self.contract.localSymbol or self.contract.symbol


class _SharedAnswer:
    """The answer of one request in flight, awaited by every identical request made meanwhile."""

    def __init__(self, task: asyncio.Task) -> None:
        self.task = task
        self.waiting = 0

    @property
    def withdrawn(self) -> bool:
        """Its last caller gave it up: it ends cancelled, so a new caller must not join it."""
        return self.task.cancelling() > 0

    async def wait(self) -> BarDataList:
        self.waiting += 1
        try:
            return await asyncio.shield(self.task)
        except asyncio.CancelledError:
            if self.waiting == 1:  # nobody else wants the answer: withdraw the request
                self.task.cancel()
            raise
        finally:
            self.waiting -= 1


class GatewayClient(IB):
    serves_continuous_ranges = True  # a continuous future's range with an end: from its dated months

    def __init__(self, pacer: Pacer | None = None) -> None:
        super().__init__()
        self.pacer = pacer
        self._in_flight: dict[tuple, _SharedAnswer] = {}
        self._open_history: set[int] = set()  # reqIds of one-off historical requests in flight
        self._abandoned: set[int] = set()  # reqIds given up: their late errors are expected
        self._paced_out: set[int] = set()  # reqIds the gateway refused for pacing
        self._bar_zones: dict[str, str] = {}  # symbol ("AAPL", "/ES") -> zone of its bar times
        self.exchange_zones = ExchangeZones()
        self.conditions = GatewayConditions()
        self._refused: dict[int, GatewayRefusal] = {}  # reqId -> the refusal that ended it
        self.errorEvent += self._on_error
        _clients.add(self)

    async def connectAsync(self, host: str = "127.0.0.1", port: int = 7497, *args, **kwargs):
        if self.pacer is None:  # the gateway's ledger, which outlives this connection
            self.pacer = pacing.for_gateway(host, port, desk.shared_url())
        return await super().connectAsync(host, port, *args, **kwargs)

    async def reqHistoricalDataAsync(
        self,
        contract: Contract,
        endDateTime,
        durationStr: str,
        barSizeSetting: str,
        whatToShow: str,
        useRTH: bool,
        formatDate: int = 1,
        keepUpToDate: bool = False,
        chartOptions: list = [],  # noqa: B006 - ib_async's own signature
        timeout: float = 60,
    ) -> BarDataList:
        if keepUpToDate:  # a subscription lives on after the first answer: ib_async's own handling
            return await super().reqHistoricalDataAsync(
                contract,
                endDateTime,
                durationStr,
                barSizeSetting,
                whatToShow,
                useRTH,
                formatDate,
                keepUpToDate,
                chartOptions,
                timeout,
            )
        self.conditions.check(contract)
        zone = await self.conditions.unless_outage(self.exchange_zones.of(self, contract))
        request = HistoryRequest(
            contract,
            end_of_day(endDateTime, zone),
            durationStr,
            barSizeSetting,
            whatToShow,
            useRTH,
            formatDate,
            chartOptions,
            zone,
        )
        identity = request.identity  # a date end with no zone known reads in the host's zone of the moment
        shared = self._in_flight.get(identity)
        if shared is None or shared.withdrawn:
            answer = _SharedAnswer(asyncio.ensure_future(self._fetch(request, timeout)))
            self._in_flight[identity] = shared = answer
            answer.task.add_done_callback(lambda _: self._forget(identity, answer))
        return await shared.wait()

    async def reqContractDetailsAsync(self, contract: Contract) -> list:
        details = await super().reqContractDetailsAsync(contract)
        self.exchange_zones.note(details)
        return details

    def _forget(self, identity: tuple, answer: _SharedAnswer) -> None:
        if self._in_flight.get(identity) is answer:  # a withdrawn answer may have been replaced
            del self._in_flight[identity]

    async def _fetch(self, request: HistoryRequest, timeout: float) -> BarDataList:
        """Send one request when pacing allows; one the gateway paces out goes again after a pause."""
        if futures_ranges.serves(request):
            return await futures_ranges.fetch(self, request, self._fetch, _bar_list(0, request), timeout)
        if chunks.is_long(request):
            return await chunks.fetch_long(self, request, self._fetch, _bar_list(0, request), timeout)
        self.conditions.check(request.contract)
        if self.pacer is None:
            self.pacer = Pacer(desk.default_ledger())
        attempt = 0
        while True:
            async with self.pacer.slots.hold((timeout or 600) + 5, request.label):
                bars, paced_out = await self._send(request, timeout)
            attempt += 1
            if not paced_out or not await self.pacer.back_off(attempt, request.label):
                return bars

    async def _send(self, request: HistoryRequest, timeout: float) -> tuple[BarDataList, bool]:
        """Send one request and wait `timeout` seconds for its answer: (bars, paced out)."""
        assert self.pacer is not None, "_fetch makes the pacer first"
        await self.pacer.admit(request.identity, request.pacing_group, request.weight, request.label, request.paced)
        req_id = self.client.getReqId()
        bars = _bar_list(req_id, request)
        answer = self.wrapper.startReq(req_id, request.contract, container=bars)
        self._open_history.add(req_id)
        self.client.reqHistoricalData(
            req_id,
            request.contract,
            util.formatIBDatetime(request.end),
            request.duration,
            request.bar_size,
            request.what,
            request.use_rth,
            request.format_date,
            False,
            request.chart_options,
        )
        try:
            async with asyncio.timeout(timeout or None):
                bars = await self.conditions.unless_outage(answer)
        except RequestError:  # raised instead when the host asks ib_async to raise
            if req_id not in self._paced_out:
                raise
            return bars, True
        except TimeoutError:
            self._abandon(req_id)
            logger.warning("Gateway gave no answer in {} s for {} bars of {}", timeout, request.bar_size, request.label)
            bars.clear()
            return bars, False
        except (asyncio.CancelledError, GatewayRefusal):  # given up, or an outage began: cancel it there
            self._abandon(req_id)
            self._refused.pop(req_id, None)
            raise
        finally:
            self._open_history.discard(req_id)
            paced_out = req_id in self._paced_out
            self._paced_out.discard(req_id)
        if refusal := self._refused.pop(req_id, None):  # the gateway's own answer was a refusal
            raise refusal
        to_exchange_time(bars, request.zone)
        self._note_zone(request.contract, bars)
        return bars, paced_out

    def bar_zone(self, symbol: str) -> str | None:
        """The zone of the latest intraday bar times for `symbol` (a future as "/ES"), if any came."""
        return self._bar_zones.get(symbol)

    def _note_zone(self, contract: Contract, bars: list) -> None:
        stamp = bars[0].date if bars else None
        zone = getattr(stamp.tzinfo, "key", None) if isinstance(stamp, datetime) else None
        if zone:
            future = contract.secType in ("FUT", "CONTFUT")
            self._bar_zones[("/" if future else "") + contract.symbol] = zone

    def _abandon(self, req_id: int) -> None:
        """Stop waiting for `req_id`: cancel it at the gateway and forget its answer."""
        self._abandoned.add(req_id)
        if self.isConnected():
            self.client.cancelHistoricalData(req_id)
        self.wrapper._endReq(req_id)

    def _on_error(self, req_id: int, code: int, text: str, contract) -> None:
        if req_id in self._abandoned:  # the gateway's reply to our cancel: the request is over
            self._abandoned.discard(req_id)
        elif req_id == -1:
            self.conditions.notice(code, text)
        elif req_id in self._open_history and (refusal := self.conditions.read(code, text, contract)):
            self._refused[req_id] = refusal
            self.wrapper._endReq(req_id)
        elif code in REFUSAL_WARNINGS and req_id in self._open_history:
            symbol = getattr(contract, "localSymbol", "") or getattr(contract, "symbol", "")
            logger.warning("[{}] gateway refused the request: {}", symbol, text)
            self.wrapper._endReq(req_id)
        elif code == PACING_REFUSAL[0] and PACING_REFUSAL[1] in text and req_id in self._open_history:
            self._paced_out.add(req_id)


_clients: weakref.WeakSet[GatewayClient] = weakref.WeakSet()


def _is_about_abandoned_request(record: logging.LogRecord) -> bool:
    match = _REQ_ID.search(record.getMessage())
    return match is not None and any(int(match[1]) in client._abandoned for client in _clients)


# ib_async logs the gateway's reply to a cancel as an error; for a request we gave up it is none.
logging.getLogger("ib_async.wrapper").addFilter(lambda record: not _is_about_abandoned_request(record))


def _bar_list(req_id: int, request: HistoryRequest) -> BarDataList:
    """The container ib_async fills, described the way its own request describes it."""
    bars = BarDataList()
    bars.reqId = req_id
    bars.contract = request.contract
    bars.endDateTime = request.end
    bars.durationStr = request.duration
    bars.barSizeSetting = request.bar_size
    bars.whatToShow = request.what
    bars.useRTH = request.use_rth
    bars.formatDate = request.format_date
    bars.keepUpToDate = False
    bars.chartOptions = request.chart_options or []
    return bars
