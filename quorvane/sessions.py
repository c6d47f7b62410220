"""The length of a contract's regular session, which sizes look-backs of bars under a day.

A gateway counts a duration of "N D" for such bars as N regular sessions of trading time, so
the latest N bars need as many sessions as N bars fill at the contract's own session length.
US stocks and indices trade 6.5 hours; futures' regular hours are their exchanges' day (former
pit) sessions. Where an exchange's roots differ, the shortest session is kept: a session taken
too short only asks for a little more, one taken too long comes back short.
"""

from __future__ import annotations

HOUR = 3600

STOCK_SESSION = 6 * HOUR + 1800  # 09:30-16:00 New York
FUTURES_SESSIONS = {
    "CME": 6 * HOUR + 2700,  # index futures 08:30-15:15 Chicago
    "CBOT": 6 * HOUR + 2400,  # Treasuries 07:20-14:00 Chicago (YM keeps CME's 08:30-15:15)
    "NYMEX": 5 * HOUR + 1800,  # energy 09:00-14:30 New York
    "COMEX": 5 * HOUR,  # silver 08:25-13:25 New York (gold 08:20-13:30)
}
FUTURE_TYPES = ("FUT", "CONTFUT")


def regular_session_seconds(contract: object) -> int:
    """Seconds in one regular session of `contract`; a stock's 6.5 hours for anything not a known future."""
    if getattr(contract, "secType", None) not in FUTURE_TYPES:
        return STOCK_SESSION
    return FUTURES_SESSIONS.get(getattr(contract, "exchange", ""), STOCK_SESSION)
