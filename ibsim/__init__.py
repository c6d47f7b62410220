"""ibsim: a simulated IBKR gateway for testing ib_async clients without a live one."""

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
