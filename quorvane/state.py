"""The terminal's state: its gateway connection and symbol resolution through it."""

from __future__ import annotations

import asyncio
import logging
import time
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import date

from ib_async import IB, Contract, Future, util
from ib_async.wrapper import RequestError
from loguru import logger

from quorvane.gateway import desk, pacing
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.handshake import ClientIdInUse, start_api
from quorvane.symbols import gateway_contract, typed_symbol

CONNECT_TIMEOUT = 5.0
# qualifyContractsAsync has no timeout of its own and waits forever on a silent gateway.
QUALIFY_TIMEOUT = 10.0
# A symbol the gateway did not know is asked about again after this many seconds.
UNKNOWN_SYMBOL_TTL = 60.0
# Client ids tried, one after another, while the gateway says the id is in use (326).
CLIENT_ID_TRIES = 4


def contract_for(symbol: str) -> Contract | None:
    """The unqualified contract a typed symbol names (quorvane.symbols): "/ES" a future, "^GSPC" an index,
    "BRK.B" a class share, a plain word a US stock.

    None for text the gateway's wire cannot carry: its messages are UTF-8 fields ended by NUL. A
    symbol ib_async cannot encode (a command-line byte that was not UTF-8) fails its send, and while
    ib_async throttles requests that failure is lost in its queue and the request waits out its timeout.
    """
    if "\0" in symbol or not _encodes(symbol):
        return None
    return gateway_contract(symbol)


@dataclass(frozen=True, slots=True)
class _Resolution:
    symbol: str
    contract: Contract | None
    expires: float | None  # clock() deadline; None while the contract trades
    last_day: date | None  # a future's last trading day


class HostState:
    """What commands see of the terminal: the gateway connection and symbol resolution.

    Resolutions are remembered for the session (until the next connect or disconnect): a stock's
    contract for good, a future's until its last trading day has passed (the roll), and a symbol
    the gateway did not know for UNKNOWN_SYMBOL_TTL seconds.
    """

    clock = staticmethod(time.monotonic)
    today = staticmethod(date.today)

    def __init__(self, ib: IB | None = None) -> None:
        self.ib = ib
        self._resolutions: dict[str, _Resolution] = {}

    @property
    def connected(self) -> bool:
        return self.ib is not None and self.ib.isConnected()

    async def connect(
        self, host: str, port: int, client_id: int = 1, timeout: float = CONNECT_TIMEOUT, *, quiet: bool = False
    ) -> IB | None:
        """Connect to a gateway; on failure log one line (none when `quiet`) and stay disconnected.

        A client id in use (326) makes it try the next one, up to CLIENT_ID_TRIES ids, and say so.
        """
        for tried in range(CLIENT_ID_TRIES):
            ib = GatewayClient(pacing.for_gateway(host, port, desk.shared_url()))
            try:
                with _quiet("ib_async"):  # it logs its own failure lines; ours says it once
                    await start_api(ib, host, port, client_id, timeout)
                break
            except ClientIdInUse:
                if tried + 1 < CLIENT_ID_TRIES:
                    if not quiet:
                        logger.warning(
                            "Client id {} is in use at the gateway (IB 326): trying client id {}",
                            client_id,
                            client_id + 1,
                        )
                    client_id += 1
                    continue
                failure = f"client ids {client_id - tried} to {client_id} are in use (IB 326)"
            except (OSError, UnicodeError) as exc:  # refused, unreachable, silent, dropped; a name IDNA cannot encode
                failure = str(exc) or type(exc).__name__
            if not quiet:
                logger.error(
                    "Cannot connect to gateway at {}:{} ({}); requests fall back to public data", host, port, failure
                )
            return None
        self.ib = ib
        self._resolutions.clear()
        if not quiet:
            logger.info("Connected to gateway at {}:{} as client {}", host, port, client_id)
        return ib

    def disconnect(self) -> None:
        self._resolutions.clear()
        if self.ib is not None:
            self.ib.disconnect()
            self.ib = None

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str | None, Contract | None]:
        """Resolve a typed symbol through the gateway: (resolved symbol, qualified contract).

        The resolved symbol keeps the typed notation ("/ES", "BRK.B", "^GSPC"), so
        nothing later takes "/ES" for a stock named ES and public data can still be
        asked for it. ("", None) when the gateway does not know the symbol.
        """
        if not self.connected:
            raise ConnectionError("Not connected to a gateway")
        known = self._resolutions.get(symbol) if isinstance(symbol, str) else None
        if known is not None and self._is_current(known):
            return (known.symbol, known.contract)
        contract = contract_for(symbol) if isinstance(symbol, str) and symbol else None
        if contract is None:
            return ("", None)
        resolved = await self._resolve(symbol, contract)
        self._resolutions[symbol] = self._remembered(*resolved)
        return resolved

    async def _resolve(self, symbol: str, contract: Contract) -> tuple[str, Contract | None]:
        """Raises GatewayRefusal while the gateway is cut off: its "unknown" then is no answer to keep."""
        ib = self.ib
        assert ib is not None, "resolving only while connected"
        conditions = getattr(ib, "conditions", None)  # a caller's plain ib_async.IB has none
        lookup = ib.qualifyContractsAsync(contract, returnAll=True)
        try:
            # asyncio.timeout, unlike wait_for on Python 3.11, never loses a cancellation.
            async with asyncio.timeout(QUALIFY_TIMEOUT):
                found = await (conditions.unless_outage(lookup) if conditions else lookup)
        except RequestError as exc:
            logger.warning("[{}] gateway refused the contract: {}", symbol, exc)
            return ("", None)
        except TimeoutError:
            raise TimeoutError(f"the gateway did not answer the contract lookup in {QUALIFY_TIMEOUT:g} s") from None
        if conditions and not (found and found[0]) and (refusal := conditions.outage()):
            raise refusal
        qualified = found[0] if found else None
        if isinstance(qualified, list):  # ambiguous: several matches
            qualified = _front_month(contract, qualified)
        if qualified is None:
            return ("", None)
        return (typed_symbol(qualified, symbol), qualified)

    def _remembered(self, symbol: str, contract: Contract | None) -> _Resolution:
        if contract is None:
            return _Resolution(symbol, None, self.clock() + UNKNOWN_SYMBOL_TTL, None)
        if not isinstance(contract, Future):
            return _Resolution(symbol, contract, None, None)
        last_day = _last_trading_day(contract)
        if last_day is None:  # no readable expiry: ask again soon rather than trade a stale month
            return _Resolution(symbol, contract, self.clock() + UNKNOWN_SYMBOL_TTL, None)
        return _Resolution(symbol, contract, None, last_day)

    def _is_current(self, known: _Resolution) -> bool:
        if known.expires is not None and self.clock() >= known.expires:
            return False
        return known.last_day is None or self.today() <= known.last_day


def _last_trading_day(future: Future) -> date | None:
    """The day in lastTradeDateOrContractMonth ("YYYYMMDD", possibly followed by a time)."""
    text = (future.lastTradeDateOrContractMonth or "")[:8]
    try:
        return date(int(text[:4]), int(text[4:6]), int(text[6:8])) if len(text) == 8 else None
    except ValueError:
        return None


def _encodes(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True


def _front_month(contract: Contract, candidates: list) -> Contract | None:
    """A real gateway answers a future without expiry with every month: take the nearest."""
    months = [c for c in candidates if c is not None and c.secType == "FUT" and c.lastTradeDateOrContractMonth]
    if not isinstance(contract, Future) or not months:
        return None
    nearest = min(months, key=lambda c: c.lastTradeDateOrContractMonth)
    util.dataclassUpdate(contract, nearest)  # keep the Future class the caller tests for
    return contract


@contextmanager
def _quiet(name: str):
    log = logging.getLogger(name)
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        log.setLevel(level)
