"""ibsim: a simulated IB Gateway that the unmodified ib_async client can talk to.

    sim = GatewaySimulator(universe=None, seed=0)   # None: the default universe
    port = await sim.start("127.0.0.1", 0)          # serves in the running loop
    sim.inject(Fault.pacing_violation())            # next history request fails
    sim.requests, sim.history_requests, sim.cancel_requests
    await sim.stop()

    GatewaySimulator(pacing=False, latency=None)    # no pacing, instant answers
    GatewaySimulator(refusals=Refusals(adjusted_last_end=162))  # another answer
    GatewaySimulator(pacing_clock=fake)             # pacing on the test's clock

    GatewaySimulator(operator_zone="Asia/Tokyo", bar_times="utc")  # as its operator set it
    GatewaySimulator(scenario="nightly-reset")      # a bad day: see scenarios.py

Command line: python -m ibsim --port N [--host 127.0.0.1] [--seed S] [--no-pacing]
[--no-latency | --latency FIXED,PER_BAR] [--serving N] [--operator-zone ZONE]
[--bar-times instrument|operator|utc] [--scenario NAME].

The rules it keeps, each with where the fact comes from in brackets. DOC =
IBKR's TWS API documentation (Historical Bars: "Max Duration Per Bar Size",
"Historical Data Limitations"; the older API guide's limitations page), PMC =
pandas_market_calendars, capture = wire text users posted from live gateways.

- Sessions, holidays and early closes (bars stop at the early close) come from
  exchange calendars: NYSE for stocks, CME_Equity for CME/CBOT index futures,
  CMEGlobex_Energy for NYMEX, CMEGlobex_Metals for COMEX. [PMC]
- Daily bars: "N D" is the last N sessions up to the end; "7 D" to Tuesday
  2023-06-27 is 06-16 to 06-27 without Juneteenth. [capture, rust-ibapi #93]
- Bars under a day: "N D" is N regular sessions' worth of trading time back
  from the end; "1 D" at 13:00 starts at 13:00 the session before.
  [capture, rust-ibapi #262]
- "N S" is N seconds of trading time: "86400 S" of hourly bars reaches back
  about 3.7 sessions. "N W", "N M", "N Y" are calendar spans.
  [capture, rust-ibapi #835, PR #837]
- Over 365 D: 321 "Error validating request.-'bH' : cause - Historical data
  requests for durations longer than 365 days must be made in years."
  [capture, ib_async #229]. Over 86400 S: 321, reported as "greater than 86400
  seconds" [rust-ibapi PR #837]. Over 52 W, 12 M, 68 Y: 321 [DOC max duration
  table; wording modelled on the 365 D one].
- "1 secs" bars beyond 2000 S: 162 "invalid step: 1". [DOC max duration table;
  capture, wrighter/ib-scripts #1]
- Unknown bar size: 321 "Error validating request.-'bK' : cause - Historical
  data bar size setting is invalid. Legal ones are: ...". [capture, rust-ibapi
  PR #245]
- ADJUSTED_LAST with an end date: 321 "...End date not supported with
  adjusted last"; with weekly or monthly bars: 321 "...Multi day bar size not
  supported with adjusted last". [reported: ib_insync #504, rust-ibapi #210,
  user notes; the 'bM' tag is modelled]
- keepUpToDate with an end date: 321 "...End date not supported with live
  updates". [DOC: keepUpToDate takes no end date; wording modelled]
- CONTFUT with an end date: 10339. [capture, nautilus_trader #2570]
- Pacing, for bars of 30 seconds or less only ("Historical Data Limitations
  for barSize = '1 mins' and greater have been lifted"): an identical request
  within 15 s, a sixth for the same contract, exchange and tick type within
  2 s, more than 60 in 10 minutes: 162 "Historical data request pacing
  violation"; BID_ASK counts twice. [DOC]
- For every bar size, a 51st open request of one client: 322 "Error
  processing request:Only 50 simultaneous API historical data requests".
  [DOC: "The maximum number of simultaneous open historical data requests from
  the API is 50."; text: capture, ib_insync #293; code modelled]
- Answers with bars take time, more with more bars: 1,950 one-minute bars took
  8.3 s [capture, ib_insync #268]; 7,800 bars 2.4 s and 8,580 bars 8.8 s [a
  2026 measurement]. The default is 0.2 s + 1 ms a bar. It is served by one of
  `serving` slots (default 4: unverified, nothing public measures it); other
  answers wait for a free one.
- A future without an expiry matches every open month, so qualifyContracts
  logs "Ambiguous contract"; a history request for it gets 200 "The contract
  description specified for ES is ambiguous." [ib_async ib.py; capture,
  SumZeroTrading #10]
- Futures contract details give the last trade in the operator's zone,
  "20260320 14:30:00 Europe/Zurich"; ib_async takes its zone as timeZoneId,
  so a future's details do not name its exchange's zone. [capture, ib_async
  #128]
- A future without an expiry and with includeExpired also matches the months
  that expired within two years. [DOC: expired futures' history is kept for
  two years after expiry; the listing is modelled]
- Last trading days: index futures the third Friday, or the business day
  before when the stock exchange is closed (ESM6: 2026-06-18); energy three
  business days before the 25th of the prior month; metals the third last
  business day of the month. [CME rulebooks, counted on PMC calendars]

Simplifications: the price model walks every weekday; only calendar sessions
produce bars. Regular hours of futures are their former pit sessions (CME
index 08:30-15:15 Central, NYMEX 09:00-14:30 and COMEX 08:20-13:30 Eastern),
cut short on early-close days. Without useRTH, a "D" of trading time is still
the regular session's length, counted through all trading hours. Calendars
cover 1990 to 2045; beyond them no session trades. Indices trade the NYSE's
regular hours only, and their bars carry a synthetic volume.

Wire details:
- Protocol: server version 178. The connect sequence answers everything
  IB.connectAsync waits for (accounts "DU123456", next id, positions, open and
  completed orders, account updates, executions) plus the farm notices
  2104/2106/2158. Unknown messages are logged and ignored.
- Contracts: stocks (SMART or a listing exchange, USD), among them the class
  share "BRK B" (primary exchange NYSE); indices as secType IND on their own
  exchange (SPX and VIX on CBOE, NDX on NASDAQ, INDU on CME, RUT on RUSSELL);
  and futures roots.
  CONTFUT resolves to the front month (the nearest last trading day on or
  after today) with secType CONTFUT. Unknown: error 200.
- Bar times follow the operator's setting for dual-mode API clients
  (GatewaySimulator(bar_times=...), --bar-times) [DOC "Modifying Returned
  Date"]: "instrument" (default) "20251020 11:00:00 US/Eastern", in the
  exchange's zone [capture, ib_async #181: bars at "11:00:00-04:00"];
  "operator" the same in operator_zone; "utc" "20251020-15:00:00", which
  ib_async parses without a zone [DOC "Changes in the date/time field" (TWS
  10.17): the dashed form is UTC; capture of that form, ib_async #230].
  formatDate=2 gives epoch seconds. Daily and longer bars are "yyyymmdd" in
  every setting [DOC reqHistoricalData formatDate]. The answer's start and
  end are written like its bar times [modelled].
- Bars: intraday bars are aligned to multiples of the bar size from midnight
  with the first at the session open; only bars that started before the end
  are sent, the last holding what happened by then. Week and month bars are
  dated by their last trade date. Prices are whole ticks, every bar size is
  an aggregate of one minute path per day (see market.py), and ADJUSTED_LAST
  scales older prices down a step at each quarterly adjustment date.
  MIDPOINT/BID/ASK/BID_ASK send -1 for volume, wap and count. keepUpToDate is
  answered once, without later updates. An end after now is read as now.
- Other refusals end the request at once: a malformed end (10314), an
  unparsable duration or unknown data type (162), an answer with no bars (162
  "HMDS query returned no data"), more than a million bars (162). An end
  without a zone is read in the gateway's zone, with warning 2174.
"""

from .faults import Fault
from .messages import HistoricalDataRequest, WireContract
from .rules import Refusals
from .server import GatewaySimulator
from .timing import NO_LATENCY, Latency, Pacing
from .universe import FutureSpec, MarketParams, StockSpec, Universe, default_universe

__all__ = [
    "NO_LATENCY",
    "Fault",
    "FutureSpec",
    "GatewaySimulator",
    "HistoricalDataRequest",
    "Latency",
    "MarketParams",
    "Pacing",
    "Refusals",
    "StockSpec",
    "Universe",
    "WireContract",
    "default_universe",
]
