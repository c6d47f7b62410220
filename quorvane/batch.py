"""Several symbols in one command line: `kline AAPL,MSFT,SPY day 100` runs the same words for each.

The symbols are fetched at once, each on its own: it resolves, falls back to public data or fails
without touching the others. The records come back in the order the symbols were given.
"""

from __future__ import annotations

import asyncio
import sys
from collections.abc import Callable

from mutil import streams
from mutil.frame import tables_hidden
from quorvane.console import waiting
from quorvane.output import OutputOptions
from quorvane.request import EXIT_CLOSED_PIPE, EXIT_ERROR, EXIT_OK, EXIT_USAGE, exit_code, request

SEPARATOR = ","
# Symbols under way at once. Their gateway requests also wait for the host client's cap on open
# historical requests (quorvane/gateway/open_requests.py); this bounds the rest of their work, the
# resolutions and the public-data downloads, so that it overlaps the gateway's answers.
MAX_OPEN = 16

Progress = Callable[[int, int], None]  # (symbols done, symbols in all)


def is_batch(words: list[str]) -> bool:
    """A command line whose symbol word names several symbols ("AAPL,MSFT")."""
    return len(words) > 1 and SEPARATOR in words[1]


def split_symbols(word: str) -> list[str]:
    """The symbols of "AAPL, msft,,SPY,AAPL": blanks and repeats dropped, the given order kept."""
    symbols: dict[str, str] = {}
    for part in word.split(SEPARATOR):
        symbol = part.strip()
        if symbol:
            symbols.setdefault(symbol.upper(), symbol)
    return list(symbols.values())


async def fetch_all(
    command: str,
    symbols: list[str],
    words: list[str],
    state,
    progress: Progress | None = None,
    limit: int = MAX_OPEN,
) -> list[dict]:
    """The result record of `command SYMBOL WORDS...` for each symbol, in the order given.

    A failed symbol gives its error record (naming the symbol); cancelling the call cancels
    every request still open. The command's own tables are not printed.
    """
    gate = asyncio.Semaphore(limit)
    done = 0

    async def one(symbol: str) -> dict:
        nonlocal done
        async with gate:
            record = await request([command, symbol, *words], state)
        done += 1
        if progress is not None:
            progress(done, len(symbols))
        if isinstance(record, dict) and "symbol" not in record:
            record = {"symbol": symbol.upper(), **record}
        return record

    with tables_hidden():  # tasks copy the context: none of them prints its table
        async with asyncio.TaskGroup() as group:
            tasks = [group.create_task(one(symbol)) for symbol in symbols]
    return [task.result() for task in tasks]


async def execute_batch(words: list[str], state, options: OutputOptions = OutputOptions()) -> int:
    """Run a command line naming several symbols, show the results, and return the exit code:
    0 when every symbol succeeded, 2 when the words themselves were refused, else 1."""
    from quorvane.batch_output import present_batch

    command, symbols, rest = words[0], split_symbols(words[1]), words[2:]
    async with waiting(f"0/{len(symbols)} symbols") as status:

        def counted(done: int, total: int) -> None:
            if status is not None:
                status.label = f"{done}/{total} symbols"

        records = await fetch_all(command, symbols, rest, state, counted)
    shown = present_batch(command, rest, records, options)
    if streams.closed(sys.stdout):
        return EXIT_CLOSED_PIPE
    codes = {exit_code(command, record, True) for record in records}
    if codes == {EXIT_USAGE}:
        return EXIT_USAGE
    return EXIT_OK if codes == {EXIT_OK} and shown else EXIT_ERROR
