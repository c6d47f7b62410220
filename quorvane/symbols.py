"""How a typed symbol is written for each source.

The trader writes one notation; the gateway and public data each have their own:

| typed   | what it is           | gateway contract          | public data (Yahoo) |
|---------|----------------------|---------------------------|---------------------|
| AAPL    | stock                | Stock AAPL, SMART         | AAPL                |
| BRK.B   | class share          | Stock "BRK B", SMART      | BRK-B               |
| /ES     | future root          | Future ES, its exchange   | ES=F                |
| ^GSPC   | S&P 500 index        | Index SPX, CBOE           | ^GSPC               |
| ^NDX    | Nasdaq-100 index     | Index NDX, NASDAQ         | ^NDX                |
| ^DJI    | Dow Jones Industrial | Index INDU, CME           | ^DJI                |
| ^RUT    | Russell 2000 index   | Index RUT, RUSSELL        | ^RUT                |
| ^VIX    | CBOE volatility      | Index VIX, CBOE           | ^VIX                |

Titles, log lines, cache keys and records keep the typed symbol; a contract the gateway resolved
is named back in the typed notation (`typed_symbol`).
"""

from __future__ import annotations

from ib_async import Contract, Future, Index, Stock

# Exchange of each futures root we trade; other roots are tried on CME.
FUTURES_EXCHANGES = {
    "ES": "CME", "MES": "CME", "NQ": "CME", "MNQ": "CME", "RTY": "CME", "M2K": "CME",
    "YM": "CBOT", "MYM": "CBOT", "ZN": "CBOT", "ZB": "CBOT",
    "CL": "NYMEX", "MCL": "NYMEX", "NG": "NYMEX",
    "GC": "COMEX", "MGC": "COMEX", "SI": "COMEX",
}  # fmt: skip
DEFAULT_FUTURES_EXCHANGE = "CME"

# Yahoo's caret name of an index -> (gateway symbol, exchange).
INDICES = {
    "^GSPC": ("SPX", "CBOE"),
    "^NDX": ("NDX", "NASDAQ"),
    "^DJI": ("INDU", "CME"),
    "^RUT": ("RUT", "RUSSELL"),
    "^VIX": ("VIX", "CBOE"),
}
_CARET_OF_INDEX = {gateway: caret for caret, (gateway, _) in INDICES.items()}

FUTURE_PREFIX = "/"
INDEX_PREFIX = "^"
CLASS_MARK = "."  # BRK.B: the gateway writes the class after a blank, Yahoo after a dash


def gateway_contract(symbol: str) -> Contract | None:
    """The unqualified gateway contract a typed symbol names; None when it names none."""
    if symbol.startswith(FUTURE_PREFIX):
        root = symbol[len(FUTURE_PREFIX) :]
        if not root:
            return None
        return Future(symbol=root, exchange=FUTURES_EXCHANGES.get(root, DEFAULT_FUTURES_EXCHANGE), currency="USD")
    if symbol.startswith(INDEX_PREFIX):
        known = INDICES.get(symbol)
        return Index(known[0], known[1], "USD") if known else None
    return Stock(symbol.replace(CLASS_MARK, " "), "SMART", "USD")


def typed_symbol(contract: Contract, typed: str) -> str:
    """A resolved contract named in the notation the trader types ("/ES", "BRK.B", "^GSPC")."""
    if isinstance(contract, Future):
        return FUTURE_PREFIX + contract.symbol
    if contract.secType == "IND":
        return _CARET_OF_INDEX.get(contract.symbol, typed)
    return (contract.symbol or typed).replace(" ", CLASS_MARK)


def yahoo_symbol(symbol: str) -> str:
    """The symbol as public data (Yahoo) names it: "/ES" -> "ES=F", "BRK.B" -> "BRK-B", else unchanged."""
    if not isinstance(symbol, str):
        return symbol
    if symbol.startswith(FUTURE_PREFIX) and len(symbol) > len(FUTURE_PREFIX):
        return symbol[len(FUTURE_PREFIX) :] + "=F"
    return symbol.replace(CLASS_MARK, "-")
