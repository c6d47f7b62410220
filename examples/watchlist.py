"""A watchlist's daily bars as one DataFrame, the way a notebook asks for them.

.venv/bin/python examples/watchlist.py           # the gateway at $QUORVANE_GATEWAY, else public data
.venv/bin/python examples/watchlist.py --sim     # the bundled gateway simulator, no network needed
"""

from __future__ import annotations

import sys

from quorvane import api

WATCHLIST = ["AAPL", "MSFT", "NVDA", "SPY"]


def main(gateway=None) -> None:
    # One call fetches every symbol at once: {symbol: record}, in the order given.
    records = api.kline(WATCHLIST, "day", 60, gateway=gateway)
    for symbol, record in records.items():
        print(f"{symbol}: {len(record.get('bars', []))} bars from {record.get('source', record.get('error'))}")

    # One frame indexed by (symbol, date): float64 prices, Int64 volume, dates in the exchange's zone.
    frame = api.bars_frame(records, tz=True)
    closes = frame["close"].unstack("symbol")  # a column per symbol
    print(closes.tail(3).round(2))
    print("60-day return:", (closes.iloc[-1] / closes.iloc[0] - 1).mul(100).round(1).to_dict())

    # Five-minute bars of one symbol, straight to a frame (as yf.download does).
    bars = api.download("AAPL", "5m", 78, tz=True, gateway=gateway)
    print(f"AAPL 5m: {len(bars)} bars, {bars.index[0]} .. {bars.index[-1]}")


def simulator():
    """The bundled simulator on a free loopback port, served by the loop the API runs on."""
    from ib_async import util

    from ibsim import GatewaySimulator

    sim = GatewaySimulator()
    port = util.run(sim.start("127.0.0.1", 0))
    return sim, f"127.0.0.1:{port}"


if __name__ == "__main__":
    if "--sim" in sys.argv[1:]:
        from ib_async import util

        sim, address = simulator()
        try:
            main(address)
        finally:
            util.run(sim.stop())
    else:
        main()
