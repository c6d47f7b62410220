"""The shell: one process, one gateway connection and one bar cache for a whole session.

At a terminal it prompts (quorvane.prompt); lines piped in run as a script.
"""

from __future__ import annotations

import argparse
import asyncio
import shlex
import signal
import sys
import threading
from contextlib import contextmanager
from typing import TYPE_CHECKING

from loguru import logger

from mutil import streams
from quorvane.connection import Connection
from quorvane.helptext import help_text, is_topic
from quorvane.loader import COMMAND_MODULES
from quorvane.output import OutputOptions, add_output_options
from quorvane.request import EXIT_CLOSED_PIPE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, execute

if TYPE_CHECKING:
    from quorvane.prompt import PromptReader

PROMPT = "quorvane> "
OFFLINE_PROMPT = "quorvane (gateway down)> "
BANNER_HINT = "Type help for commands, Ctrl-D to quit."


class _LineParser(argparse.ArgumentParser):
    def error(self, message: str):
        raise ValueError(message)


def split_options(words: list[str]) -> tuple[list[str], OutputOptions]:
    """The command's own words, and the output options typed among them; ValueError for bad options."""
    parser = _LineParser(prog=words[0], add_help=False)
    parser.add_argument("words", nargs="*")
    add_output_options(parser)
    args = parser.parse_intermixed_args(words)
    return args.words, OutputOptions.from_args(args)


@contextmanager
def interrupt_cancels(task: asyncio.Task):
    """While the request runs the terminal is not in raw mode, so Ctrl-C is SIGINT: cancel the task."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    loop = asyncio.get_running_loop()
    previous = signal.getsignal(signal.SIGINT)
    signal.signal(signal.SIGINT, lambda *_: loop.call_soon_threadsafe(task.cancel))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class ScriptReader:
    """Reads plain lines from stdin (a script piped in): no prompt, completion or history."""

    async def read(self, prompt) -> str:
        line = await asyncio.to_thread(sys.stdin.readline)
        if not line:
            raise EOFError
        return line


class Shell:
    """Reads command lines and runs them on the session's connection.

    At a terminal (`interactive`), leaving with quit or Ctrl-D exits 0. A script
    exits 0 when every line succeeded, else with the code of the last line that
    failed; `stop_on_error` stops it at the first failure. `echo` prints each
    script line, after the prompt, before running it.
    """

    def __init__(
        self,
        connection: Connection,
        *,
        interactive: bool = True,
        history=None,
        echo: bool = False,
        stop_on_error: bool = False,
    ) -> None:
        self.connection = connection
        self.interactive = interactive
        self.echo = echo and not interactive
        self.stop_on_error = stop_on_error
        self.reader: PromptReader | ScriptReader
        if interactive:
            from quorvane.prompt import PromptReader  # prompt_toolkit loads only for a terminal

            self.reader = PromptReader(history)
        else:
            self.reader = ScriptReader()

    async def run(self) -> int:
        """Read and run lines until Ctrl-D, end of input or `quit`; the exit code."""
        self.connection.keep_connected()
        if self.interactive:
            print(f"quorvane shell: {self.connection.describe()}. {BANNER_HINT}", file=sys.stderr)
        failed = EXIT_OK
        while True:
            try:
                line = await self.reader.read(self._prompt)
            except KeyboardInterrupt:  # Ctrl-C at the prompt drops the line typed so far
                continue
            except EOFError:
                break
            code = await self.handle(line)
            if code is None:
                break
            if code == EXIT_CLOSED_PIPE or (code == EXIT_INTERRUPTED and not self.interactive):
                return code  # a reader gone, or Ctrl-C meant for the whole script
            if code != EXIT_OK:
                failed = code
                if self.stop_on_error and not self.interactive:
                    return code
        return EXIT_OK if self.interactive else failed

    def _prompt(self) -> str:
        down = self.connection.address is not None and not self.connection.state.connected
        return OFFLINE_PROMPT if down else PROMPT

    async def handle(self, line: str) -> int | None:
        """Run one line; its exit code, or None when it asks to leave."""
        if self.echo and line.strip():
            streams.write(f"{PROMPT}{line.rstrip()}\n")
        try:
            words = shlex.split(line)
        except ValueError as exc:
            logger.error("Cannot read command line: {}", exc)
            return EXIT_USAGE
        if not words:
            return EXIT_OK
        name = words[0]
        if name in ("quit", "exit"):
            return None
        if name == "help":
            streams.write(help_text(words[1:], shell=True) + "\n")
            return EXIT_OK if all(is_topic(w) for w in words[1:]) else EXIT_USAGE
        if name == "status":
            streams.write(self.status() + "\n")
            return EXIT_OK
        return await self._request(words)

    async def _request(self, words: list[str]) -> int:
        try:
            words, options = split_options(words)
        except ValueError as exc:
            logger.error("{}: {}", words[0], exc)
            return EXIT_USAGE
        task = asyncio.create_task(execute(words, self.connection.state, options))
        with interrupt_cancels(task):
            try:
                return await task
            except asyncio.CancelledError:
                shell_task = asyncio.current_task()
                assert shell_task is not None, "the shell runs in a task"
                if shell_task.cancelling():  # the shell itself is being stopped
                    raise
                print(f"{' '.join(words)}: cancelled", file=sys.stderr)
                return EXIT_INTERRUPTED

    def status(self) -> str:
        lines = [self.connection.describe()]
        for name in COMMAND_MODULES:
            cache = getattr(sys.modules.get(name), "_kline_cache", None)
            if cache is not None:
                entries = len(cache)
                lines.append(f"bar cache: {entries} request{'s' * (entries != 1)}, {cache.bars:,} bars")
        return "\n".join(lines)
