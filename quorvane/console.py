"""The terminal around a request: log lines on stderr and an elapsed-time line while a request waits."""

from __future__ import annotations

import asyncio
import logging
import os
import sys
import time
import warnings
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager, redirect_stdout, suppress
from typing import IO, TYPE_CHECKING

from loguru import logger

from mutil import streams
from quorvane import logs, outcome

if TYPE_CHECKING:
    from loguru import Record

LOG_FORMAT = "<green>{time:HH:mm:ss}</green> <level>{level: <7}</level> {message}"
# The elapsed-time line appears only for requests slower than this, and is redrawn this often.
STATUS_DELAY = 0.3
STATUS_TICK = 0.1
SPINNER = "⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏"
CLEAR_LINE = "\r\x1b[K"

# Library log lines our own lines already say better (the connection reports a lost gateway).
# The host resolves symbols itself: "Symbol not found" says an unknown one, and it picks the front
# month of a future the gateway answers with every month.
SAID_ELSEWHERE = (
    ("ib_async.client", "Peer closed connection"),
    ("ib_async.ib", "Unknown contract: "),
    ("ib_async.ib", "Ambiguous contract: "),
    ("ib_async.wrapper", "Error 200, reqId "),
)

# Libraries whose warnings narrate a download the host reports itself (in its final line).
NARRATING = {"yfinance"}

_log_handler: int | None = None
_show_warning = warnings.showwarning


class StatusLine:
    """One self-overwriting line on a terminal; anything else written first wipes it."""

    def __init__(self, label: str, stream: IO[str]) -> None:
        self.label = label
        self.stream = stream
        self.started = time.monotonic()
        self.shown = False
        self._frame = 0

    def draw(self) -> None:
        elapsed = time.monotonic() - self.started
        self.stream.write(f"{CLEAR_LINE}{SPINNER[self._frame % len(SPINNER)]} {self.label}  {elapsed:.1f}s")
        self.stream.flush()
        self._frame += 1
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            self.stream.write(CLEAR_LINE)
            self.stream.flush()
            self.shown = False

    async def run(self) -> None:
        await asyncio.sleep(STATUS_DELAY)
        while True:
            self.draw()
            await asyncio.sleep(STATUS_TICK)


_status: StatusLine | None = None


def clear_status() -> None:
    if _status is not None:
        _status.clear()


def show_progress(label: str) -> None:
    """Let the status line say `label` (a long request's progress) instead of the request's words;
    nothing off a terminal."""
    if _status is not None:
        _status.label = label


class _StatusAwareStream:
    """A stream that wipes the status line before it writes, so tables start at column 0."""

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        clear_status()
        return self._stream.write(text)

    def __getattr__(self, name: str):
        return getattr(self._stream, name)


@asynccontextmanager
async def waiting(label: str, stream: IO[str] | None = None) -> AsyncIterator[StatusLine | None]:
    """Show "<spinner> label  1.2s" on `stream` (stderr) while the body runs; nothing unless it is a terminal.

    Yields the status line, whose `label` the body may change, or None when none is shown.
    """
    global _status
    stream = stream or sys.stderr
    if _status is not None or not is_terminal(stream):
        yield None
        return
    _status = StatusLine(label, stream)
    ticker = asyncio.create_task(_status.run())
    try:
        with redirect_stdout(_StatusAwareStream(sys.stdout)):
            yield _status
    finally:
        ticker.cancel()
        _status.clear()
        _status = None


def supports_colour(stream: IO[str]) -> bool:
    """A terminal that shows colour, unless the user opted out (NO_COLOR, TERM=dumb)."""
    return is_terminal(stream) and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


def is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


# Verbosity -> the least severe level shown.
LEVELS = {"quiet": "WARNING", "normal": "INFO", "verbose": "DEBUG"}


def configure_logging(verbosity: str = "normal") -> None:
    """Send log lines to the stderr of the moment (a shell may patch it), wiping the status line first.

    Replaces loguru's default handler (and our own from an earlier call); handlers
    others added stay. Warnings of libraries (yfinance, pandas) become debug lines.
    """
    global _log_handler
    logs.enable()
    if _log_handler is None:
        with suppress(ValueError):
            logger.remove(0)  # loguru's default: bound to the stderr that existed at import
        logging.getLogger().addHandler(_LibraryLogs(logging.WARNING))
        warnings.showwarning = _log_warning
    else:
        logger.remove(_log_handler)
    _log_handler = logger.add(
        _write_log,
        level=LEVELS[verbosity],
        format=LOG_FORMAT,
        colorize=supports_colour(sys.stderr),
        filter=_shown_now,
    )


def _shown_now(record: Record) -> bool:
    return not outcome.hold(record)  # a failure of a running request: its last line will say it


def replay(records: list[dict]) -> None:
    """Show log lines held back while a request ran, as they would have been shown."""
    for record in records:
        _write_log(f"{record['time']:%H:%M:%S} {record['level'].name: <7} {record['message']}\n")


def reset_logging() -> None:
    """Undo configure_logging: our handlers go, library warnings print as Python prints them."""
    global _log_handler
    if _log_handler is None:
        return
    with suppress(ValueError):  # removed already by its owner
        logger.remove(_log_handler)
    _log_handler = None
    root = logging.getLogger()
    for handler in [h for h in root.handlers if isinstance(h, _LibraryLogs)]:
        root.removeHandler(handler)
    warnings.showwarning = _show_warning


def _log_warning(message, category, filename, lineno, file=None, line=None) -> None:
    logger.debug("{}: {} ({}:{})", category.__name__, message, filename, lineno)


class _LibraryLogs(logging.Handler):
    """Warnings of libraries that log through `logging` (ib_async), in our format and stream."""

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if any(record.name == name and message.startswith(start) for name, start in SAID_ELSEWHERE):
            return
        level = record.levelname if record.levelname in ("WARNING", "ERROR", "CRITICAL") else "WARNING"
        if record.name.split(".")[0] in NARRATING:
            level = "DEBUG"
        logger.log(level, "{}: {}", record.name, message)


def _write_log(message: str) -> None:
    clear_status()
    streams.write(message, sys.stderr)
