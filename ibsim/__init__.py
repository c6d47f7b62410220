"""ibsim: a simulated IB Gateway that the unmodified ib_async client can talk to.

    sim = GatewaySimulator(universe=None, seed=0)   # None: the default universe
    port = await sim.start("127.0.0.1", 0)          # serves in the running loop
    sim.inject(Fault.pacing_violation())            # next history request fails
    sim.requests, sim.history_requests, sim.cancel_requests
    await sim.stop()

Command line: python -m ibsim --port N [--host 127.0.0.1] [--seed S].

What it simulates, and the simplifications it makes:
- Protocol: server version 178. The connect sequence answers everything
  IB.connectAsync waits for (accounts "DU123456", next id, positions, open and
  completed orders, account updates, executions) plus the farm notices
  2104/2106/2158. Unknown messages are logged and ignored.
- Contracts: stocks (SMART or a listing exchange, USD) and futures roots.
  A future without expiry resolves to the front month only (the nearest last
  trading day on or after today); CONTFUT resolves to the front month with
  secType CONTFUT. Index futures expire on the third Friday, energy three
  business days before the 25th of the prior month. Unknown: error 200.
- Sessions: trade dates are Monday to Friday, no holidays. Stocks trade
  09:30-16:00 US/Eastern (all hours 04:00-20:00); CME/CBOT futures 17:00 the
  evening before to 16:00 US/Central (regular 08:30-15:15); NYMEX 18:00 to
  17:00 US/Eastern (regular 09:00-14:30).
- Durations: "N S" counts seconds back from the end; "N D/W/M/Y" count
  calendar days, weeks, months or years back from the trade date of the latest
  session that has opened by the end (so "1 D" before the bell is the previous
  session). An end after now is read as now.
- Bars: intraday bar times are "yyyymmdd HH:MM:SS <exchange zone>" (or the
  zone given as bar_zone; epoch seconds with formatDate=2), aligned to multiples of the bar size from
  midnight with the first at the session open; only bars that started before
  the end are sent, the last holding what happened by then. Day bars are
  "yyyymmdd"; week and month bars are dated by their last trade date. Prices
  are whole ticks, every bar size is an aggregate of one minute path per day
  (see market.py), and ADJUSTED_LAST scales older prices down a step at each
  quarterly adjustment date. MIDPOINT/BID/ASK/BID_ASK send -1 for volume, wap
  and count. keepUpToDate is answered once, without later updates.
- Refusals end the request (so ib_async returns [] at once): an explicit end
  for CONTFUT (10339) or with ADJUSTED_LAST (162; a real gateway is reported
  to use 321, which ib_async would sit out until its timeout), a malformed end
  (10314), an unknown bar size, duration or data type (162), an answer with no
  bars (162 "HMDS query returned no data"), more than a million bars (162).
  An end without a zone is read in the gateway's zone, with warning 2174.
"""

from .faults import Fault
from .messages import HistoricalDataRequest, WireContract
from .server import GatewaySimulator
from .universe import FutureSpec, MarketParams, StockSpec, Universe, default_universe

__all__ = [
    "Fault",
    "FutureSpec",
    "GatewaySimulator",
    "HistoricalDataRequest",
    "MarketParams",
    "StockSpec",
    "Universe",
    "WireContract",
    "default_universe",
]
