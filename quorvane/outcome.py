"""What went wrong in one request, gathered while it runs, so that its last line names the cause once.

A request that fails passes through several hands, and each used to log its part: the gateway
timed out ("IBKR returned error (No data returned), falling back"), then the download failed
("yfinance fetch failed: <a curl message with URLs>"), then the summary said "No data returned".
While a request runs, those failure lines are held back. If the request fails, its final line
says what happened, from what they said ("gateway timed out after 60 s; public data unreachable:
Could not resolve host"); if it succeeds after a fallback, they are shown then, as they were.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from loguru import logger

if TYPE_CHECKING:
    from loguru import Record

# The lines that report a failure the final line will name: pattern -> what the line says (a
# template over the pattern's groups), and which part of the request it is about.
_GATEWAY, _SYMBOL, _PUBLIC, _QUIET = "gateway", "symbol", "public", "quiet"
FAILURE_LINES = [
    (re.compile(r"Symbol not found: (.*)"), _SYMBOL, "unknown symbol {0}"),
    (re.compile(r"Gateway gave no answer in (\S+) s for .*"), _GATEWAY, "gateway timed out after {0} s"),
    (re.compile(r"\[.*\] gateway refused the request: (.*)"), _GATEWAY, "gateway refused the request: {0}"),
    (re.compile(r"\[.*\] IBKR failed \((.+)\), falling back to yfinance"), _GATEWAY, "gateway failed: {0}"),
    (re.compile(r"\[.*\] IBKR failed \(\), falling back to yfinance"), _GATEWAY, "gateway failed"),
    (re.compile(r"\[.*\] IBKR returned error \((.*)\), falling back to yfinance"), _GATEWAY, "gateway: {0}"),
    (re.compile(r"\[.*\] yfinance fetch failed: (.*)", re.S), _PUBLIC, None),  # see download_failure
    (re.compile(r"\[.*\] yfinance returned no data"), _QUIET, None),
]  # fmt: skip
# Error texts of the command's records that say only that nothing came back.
NO_DATA = ("No data returned", "No data in range", "No intraday data")
_CURL = re.compile(r"curl: \(\d+\) (.*?)\.?(?: See https?://\S+.*)?$", re.S)


@dataclass
class Outcome:
    symbol: str | None = None  # the symbol the gateway did not know
    gateway: str | None = None  # why the gateway did not answer
    public: str | None = None  # why public data did not
    held: list = field(default_factory=list)  # (loguru record) lines held back

    def final_error(self, error: str) -> str:
        """The last line's text for a request whose record says `error`."""
        causes = [cause for cause in (self.symbol, self.gateway) if cause]
        if self.public:
            causes.append(self.public)
        elif not causes or error not in NO_DATA:
            causes.append(error)
        elif not self.symbol:  # the gateway failed, then public data had nothing either
            causes.append(f"public data: {error}")
        return "; ".join(causes)


_current: ContextVar[Outcome | None] = ContextVar("quorvane_outcome", default=None)


@contextmanager
def gathering() -> Iterator[Outcome]:
    """Gather the outcome of the request that runs inside (its download threads included)."""
    _listen()
    gathered = Outcome()
    token = _current.set(gathered)
    try:
        yield gathered
    finally:
        _current.reset(token)


def note_public(cause: str) -> None:
    """Record why public data could not answer (the host's own terms for downloads)."""
    gathered = _current.get()
    if gathered is not None and gathered.public is None:
        gathered.public = cause


def hold(record: Record) -> bool:
    """For the console: True when `record` reports a failure of a gathering request; it is then
    kept for the request (shown if the request gets its answer after all) instead of shown now."""
    gathered = _current.get()
    if gathered is None or _failure(record["message"]) is None:
        return False
    gathered.held.append(record)
    return True


def _failure(message: str) -> tuple[str, str | None, re.Match] | None:
    for pattern, part, says in FAILURE_LINES:
        if match := pattern.fullmatch(message):
            return part, says, match
    return None


_listening = False


def _listen() -> None:
    """Read every warning and error line once: those a request's outcome is made of."""
    global _listening
    if not _listening:
        _listening = True
        logger.add(_gather, level="WARNING", format="{message}")


def _gather(message) -> None:
    gathered = _current.get()
    if gathered is not None and (found := _failure(message.record["message"])) is not None:
        _note(gathered, *found)


def _note(gathered: Outcome, part: str, says: str | None, match: re.Match) -> None:
    said = says.format(*match.groups()) if says is not None else None
    if part == _SYMBOL and gathered.symbol is None:
        gathered.symbol = said
    elif part == _GATEWAY and gathered.gateway is None:  # the first says most: the later ones follow it
        reason = match[1] if match.groups() else ""
        # The host's own refusal lines name the gateway already ("the gateway has no market-data ...").
        gathered.gateway = reason if reason.startswith(("the gateway", "gateway")) else said
    elif part == _PUBLIC and gathered.public is None:
        gathered.public = download_failure(match[1])


def download_failure(text: str) -> str:
    """A failed download in one line: the network's reason without the library's URLs."""
    if curl := _CURL.search(text):
        return f"public data unreachable: {curl[1]}"
    first = text.strip().splitlines()[0] if text.strip() else "no reason given"
    return f"public data failed: {first}"
