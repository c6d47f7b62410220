"""Running one command line: the result record, what is shown of it, and the exit code."""

from __future__ import annotations

import sys
from contextlib import redirect_stdout

from mutil import streams
from quorvane.cmds.base import lookup, run_command
from quorvane.console import replay, waiting
from quorvane.interrupts import EXIT_INTERRUPTED  # noqa: F401  (the exit codes live here)
from quorvane.outcome import gathering
from quorvane.output import OutputOptions, display_stream, present
from quorvane.public_data import guard_downloads
from quorvane.records import CAUSE, REQUESTED, TIMEZONE
from quorvane.requested import requested_count
from quorvane.words import check_words
from quorvane.zones import bar_zone

EXIT_OK = 0
EXIT_ERROR = 1
EXIT_USAGE = 2
EXIT_CLOSED_PIPE = 141  # 128 + SIGPIPE: what a shell reports for a writer whose reader went away

# How the host's command runner words its refusals of a line it cannot run.
REFUSALS = ("Empty command line", "Unknown command: ", "Cannot read command line: ")
# A command that raises this refused its words (a date that is no calendar date).
USAGE_EXCEPTION = ValueError


async def request(words: list[str], state) -> dict:
    """Run one command line and return its result record.

    A failure the command lets through becomes an error record. An error record says, in one
    line, what went wrong on the way (outcome.py): the lines that reported it along the way are
    not shown. A record with intraday bars names the zone of their times when the host knows it,
    and a latest-candles record the count that was asked for.
    """
    with gathering() as gathered:
        try:
            record = await run_command(words, state=state, ib=state.ib, prepare=guard_downloads)
        except Exception as exc:  # the command let a failure through: report it, don't dump a traceback
            record = {"error": f"{type(exc).__name__}: {exc}"}
    error = record.get("error") if isinstance(record, dict) else None
    if isinstance(error, str):
        if not _is_usage_error(words[0], error):  # the record keeps the command's own text for callers
            record[CAUSE] = gathered.final_error(error)
        return record
    replay(gathered.held)  # the request got its answer after all: the failures on the way are news
    zone = await bar_zone(record, state)
    if zone:
        record[TIMEZONE] = zone
    asked = requested_count(words, record)
    if asked is not None:
        record[REQUESTED] = asked
    return record


async def execute(words: list[str], state, options: OutputOptions = OutputOptions()) -> int:
    """Run one command line, show its result as `options` ask, and return the exit code.

    Words the command would ignore or mistake are refused before anything runs (exit 2)."""
    if (refused := refuse_words(words, options)) is not None:
        return refused
    from quorvane import batch  # several symbols ("AAPL,MSFT") run as a batch

    if batch.is_batch(words):
        return await batch.execute_batch(words, state, options)
    with redirect_stdout(display_stream(options)):  # under --json or --csv - stdout carries only the data
        async with waiting(" ".join(words)):
            record = await request(words, state)
    shown = present(words, record, options)
    if streams.closed(sys.stdout):
        return EXIT_CLOSED_PIPE
    return exit_code(words[0], record, shown)


def refuse_words(words: list[str], options: OutputOptions = OutputOptions()) -> int | None:
    """EXIT_USAGE after one line saying why, for words the command would ignore or mistake; else None."""
    problem = check_words(words[0], words[1:])
    if problem is None:
        return None
    present(words, {"error": problem}, options)
    return EXIT_USAGE


def exit_code(name: str, record: object, shown: bool) -> int:
    if not isinstance(record, dict):
        return EXIT_ERROR
    error = record.get("error")
    if isinstance(error, str):
        return EXIT_USAGE if _is_usage_error(name, error) else EXIT_ERROR
    return EXIT_OK if shown else EXIT_ERROR


def _is_usage_error(name: str, error: str) -> bool:
    command = lookup(name)
    return (
        (command is not None and error in command.usage_errors)
        or error.startswith(REFUSALS)
        or error.startswith(f"{name}: ")  # the words do not fit the command's arguments
        or error.startswith(f"{USAGE_EXCEPTION.__name__}: ")
    )
