"""A gateway's bad days: refusals and outages a trader meets, each with the real codes and texts.

    GatewaySimulator(scenario="no-permissions")      # or a Scenario instance, e.g. NightlyReset(outage=1)
    python -m ibsim --port 4002 --scenario nightly-reset

Each scenario says where its codes and texts come from, in brackets: DOC = IBKR's TWS API message
codes ("message_codes", "Error Codes" on IBKR Campus), capture = text users posted from live
gateways, with the thread. "Modelled" marks what is our own simplification.

- no-permissions: every history request for an exchange the account has no data for gets 162
  "Historical Market Data Service error message:No market data permissions for ISLAND STK.
  Requested market data requires additional subscription for API. ..." naming the exchange as
  HMDS does (ISLAND for Nasdaq stocks, NYSE, ARCA, CME ...) and the security type.
  [capture: ib_insync #19, #234, #461; extrange/ibkr-docker #124 for the longer wording of
  today's gateways]. Modelled: no exchange is permitted unless `permitted` names it.
- delayed-only: a history request gets warning 10167 "Requested market data is not subscribed.
  Displaying delayed market data." and then bars that end 15 minutes ago; a quote request gets
  354 "Requested market data is not subscribed.Delayed market data is available.Error&BEST/STK/
  Top&BEST/STK/Top". [capture: chicago-joe/InteractiveBrokers-PairsTrading-Algo #4 (354),
  softwarespartan/IB4m #101 (10167), ib_insync #19 (354); the 15-minute delay: DOC delayed data].
  Modelled: 10167 on history (real gateways send it for quotes; some accounts see it on bars).
- competing-session: quotes get 10197 "No market data during competing live session"; history
  gets 162 "Historical Market Data Service error message:Trading TWS session is connected from a
  different IP address". [capture: quantverse/ptltrader #1 (10197); extrange/ibkr-docker #118,
  utilmon/EasyIB #1 (the IP text)]. Modelled: the 162 prefix on the IP text.
- nightly-reset: at the first request the reset begins: every client gets 1100 "Connectivity
  between IB and Trader Workstation has been lost.", 2103 "Market data farm connection is
  broken:usfarm" and 2105 "HMDS data farm connection is broken:ushmds"; contract and history
  requests for valid contracts then get 200 "No security definition has been found for the
  request" until, `outage` seconds later, 1102 "Connectivity between IB and Trader Workstation has
  been restored - data maintained.", 2104 and 2106 say it is over. [capture: IbcAlpha/IBC #143
  (the notices, minutes apart); ib_insync #330 (200 for a symbol that exists, during the reset);
  DOC 1100/1102/2103/2105]. Modelled: the reset starts at the first request and lasts `outage`
  seconds (default 20; real ones last minutes).
- farm-broken: at the first request the gateway sends 2157 "Sec-def data farm connection is
  broken:secdefil" and 2105 "HMDS data farm connection is broken:ushmds", and answers no
  contract or history request after that. [DOC 2105, 2157; IbcAlpha/IBC #143 for farm notices
  with reqId -1]. Modelled: both farms break together, never come back, and leave requests
  unanswered.
- client-id-in-use: a client that starts the API with a client id in `taken` (default 1, the
  id another program already holds) gets 326 "Unable to connect as the client id is already in
  use. Retry with a unique client id." with reqId -1, then the socket closes. [DOC 326;
  capture: nautilus_trader #4412]
- not-logged-in: the API socket accepts the connection and never answers, not even the
  handshake. [capture: the symptom, "Connected" then "API connection failed: TimeoutError()",
  in IbcAlpha/IBC #195 and ib_insync #529]. Modelled: the cause, a gateway started (by IBC, say)
  but not logged in.
"""

from __future__ import annotations

import asyncio
import datetime as dt

from . import answers, codes
from .contracts import listing_today
from .messages import ContractDetailsRequest, HistoricalDataRequest, UnknownRequest
from .rules import Refusal

MARKET_DATA_REQUEST = 1  # msg id of reqMktData: the simulator answers quotes only in scenarios

LOST = (1100, "Connectivity between IB and Trader Workstation has been lost.")
RESTORED = (1102, "Connectivity between IB and Trader Workstation has been restored - data maintained.")
MARKET_FARM_BROKEN = (2103, "Market data farm connection is broken:usfarm")
MARKET_FARM_OK = (2104, "Market data farm connection is OK:usfarm")
HMDS_FARM_BROKEN = (2105, "HMDS data farm connection is broken:ushmds")
HMDS_FARM_OK = (2106, "HMDS data farm connection is OK:ushmds")
SECDEF_FARM_BROKEN = (2157, "Sec-def data farm connection is broken:secdefil")
CLIENT_ID_IN_USE = (326, "Unable to connect as the client id is already in use. Retry with a unique client id.")
DELAYED_DATA = (10167, "Requested market data is not subscribed. Displaying delayed market data.")
NOT_SUBSCRIBED = (
    354,
    "Requested market data is not subscribed.Delayed market data is available.Error&BEST/STK/Top&BEST/STK/Top",
)
COMPETING_QUOTES = (10197, "No market data during competing live session")
COMPETING_HISTORY = (codes.HMDS_ERROR, codes.hmds("Trading TWS session is connected from a different IP address"))
DELAY = dt.timedelta(minutes=15)
# How HMDS names a stock's primary exchange in its messages.
HMDS_EXCHANGES = {"NASDAQ": "ISLAND"}


def no_permission_text(exchange: str, sec_type: str) -> str:
    return codes.hmds(
        f"No market data permissions for {exchange} {sec_type}. Requested market data requires additional"
        " subscription for API. See link in 'Market Data Connections' dialog for more details."
    )


class Scenario:
    """A normal day. Subclasses change what the session answers through these hooks."""

    name = "normal"
    answers_handshake = True

    def admit(self, session, client_id: int) -> bool:
        """Whether a client may start the API with this id (False: the scenario has answered)."""
        return True

    def started(self, session) -> None:
        """The start-up answers have gone out."""

    def intercept(self, session, request) -> bool:
        """Answer `request` instead of the normal gateway; True when it did."""
        return False


class NoPermissions(Scenario):
    name = "no-permissions"

    def __init__(self, permitted: tuple[str, ...] = ()) -> None:
        self.permitted = set(permitted)  # HMDS exchange names with a data subscription

    def intercept(self, session, request) -> bool:
        if not isinstance(request, HistoricalDataRequest):
            return False
        place = _hmds_place(session, request)
        if place is None or place[0] in self.permitted:
            return False
        session.send(answers.error(request.reqId, codes.HMDS_ERROR, no_permission_text(*place)))
        return True


class DelayedOnly(Scenario):
    name = "delayed-only"

    def intercept(self, session, request) -> bool:
        if isinstance(request, HistoricalDataRequest):
            session.send(answers.error(request.reqId, *DELAYED_DATA))
            session.answer_history(request, now=session.sim.now() - DELAY)
            return True
        return _refuse_quotes(session, request, NOT_SUBSCRIBED)


class CompetingSession(Scenario):
    name = "competing-session"

    def intercept(self, session, request) -> bool:
        if isinstance(request, HistoricalDataRequest):
            session.send(answers.error(request.reqId, *COMPETING_HISTORY))
            return True
        return _refuse_quotes(session, request, COMPETING_QUOTES)


class NightlyReset(Scenario):
    """`outage` seconds of lost connectivity from the first request on; None: until restore()."""

    name = "nightly-reset"

    def __init__(self, outage: float | None = 20.0) -> None:
        self.outage = outage
        self.state = "before"  # "before", "down", "restored"

    def started(self, session) -> None:
        if self.state == "down":
            for notice in (LOST, MARKET_FARM_BROKEN, HMDS_FARM_BROKEN):
                session.send(answers.error(-1, *notice))

    def intercept(self, session, request) -> bool:
        if not isinstance(request, (ContractDetailsRequest, HistoricalDataRequest)):
            return False
        if self.state == "before":
            self._begin(session.sim)
        if self.state != "down":
            return False
        text = codes.NO_SECURITY_DEFINITION_TEXT
        session.send(answers.error(request.reqId, codes.NO_SECURITY_DEFINITION, text))
        return True

    def restore(self, sim) -> None:
        if self.state == "down":
            self.state = "restored"
            sim.broadcast(RESTORED, MARKET_FARM_OK, HMDS_FARM_OK)

    def _begin(self, sim) -> None:
        self.state = "down"
        sim.broadcast(LOST, MARKET_FARM_BROKEN, HMDS_FARM_BROKEN)
        if self.outage is not None:
            asyncio.get_running_loop().call_later(self.outage, self.restore, sim)


class FarmBroken(Scenario):
    name = "farm-broken"

    def __init__(self) -> None:
        self.broken = False

    def intercept(self, session, request) -> bool:
        if not isinstance(request, (ContractDetailsRequest, HistoricalDataRequest)):
            return False
        if not self.broken:
            self.broken = True
            session.sim.broadcast(SECDEF_FARM_BROKEN, HMDS_FARM_BROKEN)
        return True  # silence: the farm behind the request is gone


class ClientIdInUse(Scenario):
    name = "client-id-in-use"

    def __init__(self, taken: tuple[int, ...] = (1,)) -> None:
        self.taken = set(taken)

    def admit(self, session, client_id: int) -> bool:
        if client_id not in self.taken:
            return True
        session.send(answers.error(-1, *CLIENT_ID_IN_USE))
        session.close()
        return False


class NotLoggedIn(Scenario):
    name = "not-logged-in"
    answers_handshake = False


SCENARIOS = {
    cls.name: cls
    for cls in (NoPermissions, DelayedOnly, CompetingSession, NightlyReset, FarmBroken, ClientIdInUse, NotLoggedIn)
}


def scenario_of(value: Scenario | str | None) -> Scenario:
    """A scenario from its name (SCENARIOS), an instance, or None for a normal day."""
    if value is None:
        return Scenario()
    if isinstance(value, Scenario):
        return value
    try:
        return SCENARIOS[value]()
    except KeyError:
        raise ValueError(f"unknown scenario {value!r}; one of {', '.join(SCENARIOS)}") from None


def _refuse_quotes(session, request, refusal: tuple[int, str]) -> bool:
    if not (isinstance(request, UnknownRequest) and request.msgId == MARKET_DATA_REQUEST):
        return False
    fields = request.fields  # version, reqId, contract...
    if len(fields) > 1 and fields[1].lstrip("-").isdigit():
        session.send(answers.error(int(fields[1]), *refusal))
    return True


def _hmds_place(session, request: HistoricalDataRequest) -> tuple[str, str] | None:
    """(exchange, security type) as HMDS names them, e.g. ("ISLAND", "STK"); None: no such contract."""
    try:
        listing = session.sim.desk.listing(request, listing_today(session.sim.now()))
    except Refusal:
        return None
    if listing.secType == "STK":
        primary = listing.spec.primaryExchange
        return HMDS_EXCHANGES.get(primary, primary), "STK"
    return listing.exchange, "FUT"
