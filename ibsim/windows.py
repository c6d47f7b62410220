"""What a historical-data request covers: the sessions it reaches, and the part of each.

Durations count as the gateway counts them:
- "N D" of daily (or longer) bars is the last N sessions up to the end;
- "N D" of bars under a day is N regular sessions' worth of trading time
  (the instrument's full regular session, e.g. 6.5 hours for US stocks),
  counted back from the end through the sessions the request trades in:
  regular hours with useRTH, all hours without;
- "N S" is N seconds of trading time, counted the same way (for daily bars:
  every session those seconds reach into);
- "N W", "N M" and "N Y" are calendar spans: every session whose trade date
  lies within that span, ending with the latest session.
The latest session is the last one that opened before the end.
"""

import datetime as dt
from dataclasses import dataclass

from .sessions import Session, Sessions, TradingHours
from .terms import Duration


@dataclass(frozen=True, slots=True)
class Piece:
    """The part of one session a request covers, in seconds from its trade date's midnight."""

    session: Session
    start: float
    end: float


def covered(
    hours: TradingHours, use_rth: bool, local_end: dt.datetime, duration: Duration, whole_sessions: bool
) -> list[Piece]:
    """Pieces of the sessions a request covers, oldest first; `local_end` is the
    exchange's wall time. `whole_sessions` is set for daily and longer bars."""
    sessions = hours.sessions(use_rth)
    latest = sessions.last_opened_before(local_end)
    if latest < 0:
        return []
    if duration.is_calendar_span:
        first = sessions.first_from(duration.first_date(sessions[latest].day))
        return [_up_to(sessions[i], local_end) for i in range(first, latest + 1)]
    if duration.unit == "D" and whole_sessions:
        return [_up_to(sessions[i], local_end) for i in range(max(0, latest - duration.count + 1), latest + 1)]
    seconds = duration.count * (hours.regular_length if duration.unit == "D" else 1)
    return _trading_time(sessions, latest, local_end, seconds)


def _up_to(session: Session, local_end: dt.datetime) -> Piece:
    return Piece(session, session.open, min(session.close, session.seconds_to(local_end)))


def _trading_time(sessions: Sessions, latest: int, local_end: dt.datetime, seconds: float) -> list[Piece]:
    """The last `seconds` of trading before `local_end`, walking back session by session."""
    pieces = []
    for i in range(latest, -1, -1):
        piece = _up_to(sessions[i], local_end)
        length = piece.end - piece.start
        if length >= seconds:
            pieces.append(Piece(piece.session, piece.end - seconds, piece.end))
            break
        pieces.append(piece)
        seconds -= length
    return pieces[::-1]
