"""The gateway's refusals and outages, read by the host and said in the trader's words.

A refusal ends a request at once with GatewayRefusal, whose text is the one line the user sees:
the cause, what to do, and the gateway's code in brackets. The command logs it as the reason it
falls back to public data, so the gateway's own wording (which ib_async would log as well) is
not shown a second time.

- Permission refusals (162 "No market data permissions for ISLAND STK", 354) are remembered for
  the connection, per exchange and security type: the next request for that market goes straight
  to public data with a short note, without asking the gateway. A competing session (10197, 162
  "connected from a different IP address") stands for a minute.
- While the gateway has lost its link to IBKR or a data farm (1100, 2103, 2105, 2157), every
  request falls back at once, and requests in flight end, until the notices say it is back
  (1101/1102, 2104, 2106, 2158). An unknown-contract answer (200) meanwhile is the outage, not an
  unknown symbol.
- 10167 (delayed data) is no refusal: the bars come, and the user is told once that they are late.
"""

from __future__ import annotations

import asyncio
import logging
import re
import time
from collections.abc import Awaitable
from typing import TypeVar

from loguru import logger

T = TypeVar("T")

HMDS_ERROR = 162
NOT_SUBSCRIBED = 354
COMPETING_SESSION = 10197
DELAYED_DATA = 10167
CLIENT_ID_IN_USE = 326

# Notices (reqId -1): code -> (link, True when it breaks, False when it is back).
LINK_NOTICES = {
    1100: ("ibkr", True), 1101: ("ibkr", False), 1102: ("ibkr", False),
    2103: ("market-data farm", True), 2104: ("market-data farm", False),
    2105: ("historical-data farm", True), 2106: ("historical-data farm", False),
    2157: ("contract-lookup farm", True), 2158: ("contract-lookup farm", False),
}  # fmt: skip

# How HMDS names markets, and what a trader calls them.
EXCHANGE_NAMES = {
    "ISLAND": "NASDAQ", "NASDAQ": "NASDAQ", "NYSE": "NYSE", "AMEX": "NYSE American", "ARCA": "NYSE Arca",
    "BATS": "Cboe BZX", "GLOBEX": "CME", "ECBOT": "CBOT", "NYBOT": "ICE US",
}  # fmt: skip
KIND_NAMES = {
    "STK": "stocks",
    "FUT": "futures",
    "OPT": "options",
    "FOP": "futures options",
    "IND": "indices",
    "CASH": "currencies",
}
HMDS_EXCHANGES = {"NASDAQ": "ISLAND"}  # a stock's primary exchange as HMDS names it

SUBSCRIBE = "subscribe, or share the live account's data with the paper account"
COMPETING = "another session of this IBKR user holds the market data"
# A competing session may log out any time, so its refusal stands for a minute, not the session:
# long enough that a repeated request does not sit out the pacing rule to be refused again.
COMPETING_RETRY = 60.0
OTHER_SESSION = "log out of the other session (web, mobile or another TWS), or give the API a username of its own"
_NO_PERMISSION = re.compile(r"No market data permissions for (\S+) (\w+)")
_OTHER_IP = "connected from a different IP address"


class GatewayRefusal(Exception):
    """The gateway refused a request or cannot serve it now; the text is what the user reads."""

    def __init__(self, line: str, code: int) -> None:
        super().__init__(line)
        self.code = code


def market_of(contract) -> tuple[str, str]:
    """(exchange, security type) as HMDS names a contract's market, e.g. ("ISLAND", "STK")."""
    kind = "FUT" if contract.secType in ("FUT", "CONTFUT") else contract.secType
    if kind == "STK":
        primary = contract.primaryExchange or contract.exchange
        return HMDS_EXCHANGES.get(primary, primary), kind
    return contract.exchange, kind


def market_words(market: tuple[str, str]) -> str:
    exchange, kind = market
    return f"{EXCHANGE_NAMES.get(exchange, exchange)} {KIND_NAMES.get(kind, kind)}"


class GatewayConditions:
    """What a gateway connection has said about its links and the account's permissions."""

    clock = staticmethod(time.monotonic)

    def __init__(self) -> None:
        self._broken: dict[str, int] = {}  # link -> code that broke it
        self._refused: dict[tuple[str, str], int] = {}  # market -> refusal code
        self._outage_began: asyncio.Future | None = None
        self._told_delayed = False
        self._competing: tuple[int, float] | None = None  # (code, clock() until which it stands)

    # -- notices

    def notice(self, code: int, text: str) -> None:
        """A notice with reqId -1: a link broke or is back."""
        link, breaks = LINK_NOTICES.get(code, (None, False))
        if link is None:
            return
        if breaks:
            self._broken.setdefault(link, code)
            if self._outage_began is not None and not self._outage_began.done():
                self._outage_began.set_result(self.outage())
            logger.debug("gateway notice {}: {}", code, text)
        elif self._broken.pop(link, None) is not None and not self._broken:
            logger.info("The gateway's connection to IBKR is back (IB {}): requests go to the gateway again", code)

    def outage(self) -> GatewayRefusal | None:
        """The refusal every request gets while a link is down, else None."""
        if not self._broken:
            return None
        link, code = next(iter(self._broken.items()))
        if link == "ibkr":
            cause = f"the gateway has lost its connection to IBKR (IB {code}), as in its nightly reset"
        else:
            cause = f"the gateway's {link} is down (IB {code})"
        return GatewayRefusal(f"{cause}: public data until it is back", code)

    async def unless_outage(self, awaitable: Awaitable[T]) -> T:
        """Await `awaitable`, or raise the outage refusal as soon as an outage begins."""
        if refusal := self.outage():
            if asyncio.iscoroutine(awaitable):
                awaitable.close()
            raise refusal
        task = asyncio.ensure_future(awaitable)
        if self._outage_began is None or self._outage_began.done():
            self._outage_began = asyncio.get_running_loop().create_future()
        began = self._outage_began
        try:
            await asyncio.wait({task, began}, return_when=asyncio.FIRST_COMPLETED)
            if not task.done():
                raise began.result()  # the outage as it began, even if a flap has already ended it
            return task.result()
        finally:
            if not task.done():
                task.cancel()

    # -- requests

    def check(self, contract) -> None:
        """Raise the refusal a request for `contract` would meet: an outage, or a market refused before."""
        if refusal := self.outage():
            raise refusal
        if self._competing and self.clock() < self._competing[1]:
            raise GatewayRefusal(f"{COMPETING} (IB {self._competing[0]}, less than a minute ago)", self._competing[0])
        market = market_of(contract)
        code = self._refused.get(market)
        if code is not None:
            raise GatewayRefusal(f"no market-data permission for {market_words(market)} (IB {code}, as earlier)", code)

    def read(self, code: int, text: str, contract) -> GatewayRefusal | None:
        """The refusal an error for a history request of `contract` means, else None (not ours to read)."""
        if code == DELAYED_DATA:
            if not self._told_delayed:
                self._told_delayed = True
                logger.warning(
                    "The gateway sends delayed data (IB 10167): bars end about 15 minutes ago; subscribe for live data"
                )
            return None
        if code == COMPETING_SESSION or (code == HMDS_ERROR and _OTHER_IP in text):
            self._competing = (code, self.clock() + COMPETING_RETRY)
            return GatewayRefusal(f"{COMPETING} (IB {code}): {OTHER_SESSION}", code)
        if code == HMDS_ERROR and (match := _NO_PERMISSION.search(text)):
            market = (match[1], match[2])
        elif code == NOT_SUBSCRIBED and contract is not None:
            market = market_of(contract)
        else:
            return None
        self._refused[market] = code
        return GatewayRefusal(
            f"the gateway has no market-data permission for {market_words(market)} (IB {code}): {SUBSCRIBE}", code
        )


def says_it_better(code: int, text: str) -> bool:
    """Whether the host says what this gateway error means in a line of its own."""
    if code in LINK_NOTICES or code in (NOT_SUBSCRIBED, COMPETING_SESSION, DELAYED_DATA, CLIENT_ID_IN_USE):
        return True
    return code == HMDS_ERROR and (_NO_PERMISSION.search(text) is not None or _OTHER_IP in text)


_IB_LINE = re.compile(r"(?:Error|Warning) (-?\d+), reqId -?\d+: (.*)", re.DOTALL)


def _not_ours(record: logging.LogRecord) -> bool:
    if record.levelno < logging.WARNING:  # notices stay in the debug log
        return True
    match = _IB_LINE.match(record.getMessage())
    return match is None or not says_it_better(int(match[1]), match[2])


# ib_async logs each gateway error; those the host reads are said once, in the host's words.
logging.getLogger("ib_async.wrapper").addFilter(_not_ours)
