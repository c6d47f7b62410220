"""The terminal around a request: log lines on stderr and an elapsed-time line while a request waits."""

from __future__ import annotations

import asyncio
import logging
import sys
import time
from contextlib import asynccontextmanager, redirect_stdout
from typing import IO, AsyncIterator

from loguru import logger

LOG_FORMAT = "<green>{time:HH:mm:ss}</green> <level>{level: <7}</level> {message}"
# The elapsed-time line appears only for requests slower than this, and is redrawn this often.
STATUS_DELAY = 0.3
STATUS_TICK = 0.1
SPINNER = "⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏"
CLEAR_LINE = "\r\x1b[K"

# Library log lines our own lines already say better (the connection reports a lost gateway).
SAID_ELSEWHERE = (("ib_async.client", "Peer closed connection"),)

_log_handler: int | None = None


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
async def waiting(label: str, stream: IO[str] | None = None) -> AsyncIterator[None]:
    """Show "<spinner> label  1.2s" on `stream` (stderr) while the body runs; nothing unless it is a terminal."""
    global _status
    stream = stream or sys.stderr
    if _status is not None or not _is_terminal(stream):
        yield
        return
    _status = StatusLine(label, stream)
    ticker = asyncio.create_task(_status.run())
    try:
        with redirect_stdout(_StatusAwareStream(sys.stdout)):
            yield
    finally:
        ticker.cancel()
        _status.clear()
        _status = None


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


def configure_logging(level: str = "INFO") -> None:
    """Send log lines to the stderr of the moment (a shell may patch it), wiping the status line first.

    Replaces loguru's default handler once; handlers others added stay.
    """
    global _log_handler
    if _log_handler is not None:
        return
    try:
        logger.remove(0)  # loguru's default: bound to the stderr that existed at import
    except ValueError:
        pass
    _log_handler = logger.add(_write_log, level=level, format=LOG_FORMAT, colorize=_is_terminal(sys.stderr))
    logging.getLogger().addHandler(_LibraryLogs(logging.WARNING))


class _LibraryLogs(logging.Handler):
    """Warnings of libraries that log through `logging` (ib_async), in our format and stream."""

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if any(record.name == name and message.startswith(start) for name, start in SAID_ELSEWHERE):
            return
        level = record.levelname if record.levelname in ("WARNING", "ERROR", "CRITICAL") else "WARNING"
        logger.log(level, "{}: {}", record.name, message)


def _write_log(message: str) -> None:
    clear_status()
    sys.stderr.write(message)
    sys.stderr.flush()
