"""One client connection: handshake, start-up answers and request dispatch."""

import asyncio
import logging
import time
from collections.abc import Callable
from typing import Any

from . import answers, codes, messages
from .answers import SERVER_VERSION
from .bar_text import BarText
from .contracts import details_fields, listing_today, resolve
from .faults import Fault
from .history import HistoryAnswer
from .messages import HistoricalDataRequest
from .rules import Refusal
from .timing import MAX_OPEN_REQUESTS
from .wire import parse_version_range, read_handshake, read_message

log = logging.getLogger("ibsim")


class ClientConnection:
    def __init__(self, sim, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.sim = sim
        self.reader = reader
        self.writer = writer
        self.client_id: int | None = None
        self.pending: dict[int, asyncio.Task] = {}  # history answers on their way, by reqId
        self._handlers: dict[type, Callable[[Any], object]] = {
            messages.StartApi: self._start_api,
            messages.PositionsRequest: lambda r: self.send(answers.position_end()),
            messages.OpenOrdersRequest: lambda r: self.send(answers.open_order_end()),
            messages.CompletedOrdersRequest: lambda r: self.send(answers.completed_orders_end()),
            messages.AccountUpdatesRequest: self._account_updates,
            messages.AccountUpdatesMultiRequest: lambda r: self.send(answers.account_update_multi_end(r.reqId)),
            messages.ExecutionsRequest: lambda r: self.send(answers.exec_details_end(r.reqId)),
            messages.IdsRequest: lambda r: self.send(answers.next_valid_id(sim.next_order_id)),
            messages.ManagedAccountsRequest: lambda r: self.send(answers.managed_accounts(sim.accounts)),
            messages.CurrentTimeRequest: lambda r: self.send(answers.current_time(int(sim.now().timestamp()))),
            messages.ContractDetailsRequest: self._contract_details,
            messages.HistoricalDataRequest: self._historical_data,
            messages.CancelHistoricalData: self._cancel_historical_data,
        }

    @property
    def closing(self) -> bool:
        return self.writer.is_closing()

    def send(self, data: bytes) -> None:
        if not self.closing:
            self.writer.write(data)

    def close(self) -> None:
        for task in self.pending.values():
            task.cancel()
        self.pending.clear()
        if not self.closing:
            self.writer.close()

    async def run(self) -> None:
        try:
            await self._handshake()
            while not self.closing:
                fields = await read_message(self.reader)
                self._dispatch(fields)
                await self.writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            log.info("client %s disconnected", self.client_id)
        except ValueError as exc:
            log.warning("closing connection: %s", exc)
        finally:
            self.close()

    async def _handshake(self) -> None:
        if not self.sim.scenario.answers_handshake:  # not logged in: the socket is open, nobody answers
            while await self.reader.read(4096):
                pass
            raise ConnectionError("client left unanswered")
        low, high = parse_version_range(await read_handshake(self.reader))
        if not low <= SERVER_VERSION <= high:
            log.warning("client speaks v%s..%s; answering as %s anyway", low, high, SERVER_VERSION)
        stamp = self.sim.now().astimezone(self.sim.operator_tz)
        self.send(answers.handshake(SERVER_VERSION, stamp.strftime("%Y%m%d %H:%M:%S %Z")))

    def _dispatch(self, fields: list[str]) -> None:
        try:
            request = messages.decode_request(fields)
        except ValueError as exc:
            log.warning("malformed message %s: %s", fields[:3], exc)
            return
        self.sim.requests.append(request)
        if self.sim.scenario.intercept(self, request):
            return
        handler = self._handlers.get(type(request))
        if handler is None:
            log.info("ignoring message %s", fields[0])
            return
        try:
            handler(request)
        except Exception:  # a simulator bug must not take the connection down
            log.exception("failed to answer %s", request)

    def _start_api(self, request: messages.StartApi) -> None:
        if not self.sim.scenario.admit(self, request.clientId):
            return
        self.client_id = request.clientId
        self.send(answers.managed_accounts(self.sim.accounts))
        self.send(answers.next_valid_id(self.sim.next_order_id))
        for code, text in codes.FARM_NOTICES:
            self.send(answers.error(-1, code, text))
        self.sim.scenario.started(self)

    def _account_updates(self, request: messages.AccountUpdatesRequest) -> None:
        if request.subscribe:
            self.send(answers.account_download_end(request.acctCode))

    def _contract_details(self, request: messages.ContractDetailsRequest) -> None:
        today = listing_today(self.sim.now())
        listings = resolve(self.sim.universe, request.contract, request.includeExpired, today)
        if not listings:
            # No end marker: ib_async ends the request on the error alone.
            text = codes.NO_SECURITY_DEFINITION_TEXT
            self.send(answers.error(request.reqId, codes.NO_SECURITY_DEFINITION, text))
            return
        for listing in listings:
            fields = details_fields(listing, today, self.sim.operator_zone)
            self.send(answers.contract_details(request.reqId, fields))
        self.send(answers.contract_details_end(request.reqId))

    def _historical_data(self, request: HistoricalDataRequest) -> None:
        fault = self.sim.take_fault()
        if fault is None or fault.kind == "delay":
            self.answer_history(request, fault.seconds if fault else 0.0)
        elif fault.kind == "drop":
            log.info("dropping client %s on history request %s", self.client_id, request.reqId)
            self.close()
        else:
            self._answer_with_fault(request, fault)

    def answer_history(self, request: HistoricalDataRequest, delay: float = 0.0, now=None) -> None:
        """Refusals go out at once; bars as of `now` (the clock's) after any delay, a free serving slot
        and the gateway's latency."""
        if len(self.pending) >= MAX_OPEN_REQUESTS:
            self.send(answers.error(request.reqId, codes.PROCESSING_ERROR, codes.TOO_MANY_OPEN_TEXT))
            return
        try:
            answer = self.sim.desk.answer(request, now or self.sim.now())
        except Refusal as refusal:
            self.send(answers.error(request.reqId, refusal.code, refusal.text))
            return
        except Exception:  # a simulator bug: end the request rather than leave it hanging
            log.exception("failed to answer %s", request)
            self.send(answers.error(request.reqId, codes.HMDS_ERROR, codes.hmds("Simulator failure")))
            return
        for code, text in answer.warnings:
            self.send(answers.error(request.reqId, code, text))
        serving = self.sim.latency.of(answer.bars.count)
        if delay > 0 or serving > 0:
            self._send_later(request.reqId, answer, delay, serving)
        else:
            self._send_bars(request.reqId, answer)

    def _send_bars(self, req_id: int, answer: HistoryAnswer) -> None:
        self.send(answers.historical_data(req_id, answer.start, answer.end, answer.bars))

    def _answer_with_fault(self, request: HistoricalDataRequest, fault: Fault) -> None:
        if fault.kind == "empty":
            stamp = self.sim.now().strftime("%Y%m%d %H:%M:%S UTC")
            self.send(answers.historical_data(request.reqId, stamp, stamp, BarText(0, "")))
            return
        text = fault.message
        if fault.kind == "no_data":
            text = codes.no_data_text(self._query_text(request))
        self.send(answers.error(request.reqId, fault.code, text))

    def _query_text(self, request: HistoricalDataRequest) -> str:
        try:
            listing = self.sim.desk.listing(request, listing_today(self.sim.now()))
        except Refusal:
            return f"{request.contract.symbol}@{request.contract.exchange} {request.whatToShow}"
        return listing.query_text(request.whatToShow)

    def _send_later(self, req_id: int, answer: HistoryAnswer, delay: float, serving: float) -> None:
        """After `delay`, wait for a serving slot and hold it `serving` seconds; a cancel
        before then (or the connection closing) stops the answer."""

        async def send_after_delay():
            await asyncio.sleep(delay)
            async with self.sim.serving_slots:
                began = time.monotonic()
                await asyncio.sleep(serving)
                self.sim.served.append((began, time.monotonic()))
            self.pending.pop(req_id, None)
            self._send_bars(req_id, answer)

        self.pending[req_id] = asyncio.create_task(send_after_delay())

    def _cancel_historical_data(self, request: messages.CancelHistoricalData) -> None:
        task = self.pending.pop(request.reqId, None)
        if task is None:
            text = codes.no_query_text(request.reqId)
            self.send(answers.error(request.reqId, codes.NO_HISTORICAL_QUERY, text))
            return
        task.cancel()
        self.send(answers.error(request.reqId, codes.HMDS_ERROR, codes.cancelled_text(request.reqId)))
