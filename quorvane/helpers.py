"""Contract types the terminal's commands share."""

from ib_async import ContFuture, Contract, Forex, Future, Index, Stock

__all__ = ["ContFuture", "Contract", "Forex", "Future", "Index", "Stock"]
