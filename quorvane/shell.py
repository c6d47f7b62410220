"""The interactive shell: one process, one gateway connection and one bar cache for the whole session."""

from __future__ import annotations

import argparse
import asyncio
import os
import shlex
import signal
import sys
import threading
from contextlib import contextmanager
from pathlib import Path

from loguru import logger
from prompt_toolkit import PromptSession
from prompt_toolkit.completion import Completer, Completion
from prompt_toolkit.history import FileHistory, History, InMemoryHistory
from prompt_toolkit.patch_stdout import patch_stdout

from quorvane.cmds.base import COMMANDS, lookup
from quorvane.connection import Connection
from quorvane.output import OutputOptions, add_output_options
from quorvane.runner import COMMAND_MODULES, execute

ENV_HISTORY = "QUORVANE_HISTORY"
PROMPT = "quorvane> "
OFFLINE_PROMPT = "quorvane (gateway down)> "
BUILTINS = {
    "help": "help [COMMAND]: list the commands, or show one command's help",
    "status": "status: the gateway connection and the bar cache",
    "quit": "quit (or Ctrl-D): leave the shell",
    "exit": "exit: the same as quit",
}
BANNER_HINT = "Type help for commands, Ctrl-D to quit."
OUTPUT_HELP = "Output options, after a command's words: --chart, --chart-png FILE, --json, --csv FILE"
KEYS_HELP = "Tab completes commands and period words; Ctrl-C cancels a running request; Ctrl-D quits."
# Words worth completing after a command's symbol, when its module defines them.
VOCABULARY_TABLES = ("PERIOD_MAP", "ADJUST_KEYWORDS")
MODE_WORDS = ("intraday",)
OUTPUT_FLAGS = ("--chart", "--chart-png", "--json", "--csv")


def history_path() -> Path:
    """$QUORVANE_HISTORY, else quorvane/history under $XDG_STATE_HOME (~/.local/state)."""
    if os.environ.get(ENV_HISTORY):
        return Path(os.environ[ENV_HISTORY]).expanduser()
    state_home = os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state"
    return Path(state_home) / "quorvane" / "history"


def open_history() -> History:
    path = history_path()
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    except OSError as exc:
        logger.warning("Command history not kept ({}: {})", path, exc)
        return InMemoryHistory()
    return FileHistory(str(path))


class ShellCompleter(Completer):
    """Command names first; after `help` a command name; after a command's symbol its vocabulary."""

    def get_completions(self, document, complete_event):
        before = document.text_before_cursor
        words = before.split()
        partial = "" if not words or before[-1].isspace() else words.pop()
        for candidate in self.candidates(words, partial):
            if candidate.startswith(partial):
                yield Completion(candidate, start_position=-len(partial))

    @staticmethod
    def candidates(words: list[str], partial: str) -> list[str]:
        if not words:
            return sorted(set(COMMANDS) | set(BUILTINS))
        if words[0] == "help":
            return sorted(COMMANDS) if len(words) == 1 else []
        if words[0] not in COMMANDS:
            return []
        if partial.startswith("-"):
            return list(OUTPUT_FLAGS)
        return command_vocabulary(words[0]) if len(words) >= 2 else []


def command_vocabulary(name: str) -> list[str]:
    module = sys.modules.get(getattr(lookup(name), "__module__", ""))
    if module is None or not hasattr(module, "PERIOD_MAP"):
        return []
    words = list(MODE_WORDS)
    for table in VOCABULARY_TABLES:
        words += sorted(getattr(module, table, ()), key=str)
    return words


class _LineParser(argparse.ArgumentParser):
    def error(self, message: str):
        raise ValueError(message)


def split_options(words: list[str]) -> tuple[list[str], OutputOptions]:
    """The command's own words, and the output options typed among them."""
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


class Shell:
    """Reads command lines and runs them on the session's connection.

    `interactive` false reads plain lines from stdin (a script piped in), with
    no prompt, completion or history.
    """

    def __init__(self, connection: Connection, *, interactive: bool = True, history: History | None = None) -> None:
        self.connection = connection
        self.interactive = interactive
        self.session = None
        if interactive:
            self.session = PromptSession(
                history=history if history is not None else open_history(),
                completer=ShellCompleter(),
                complete_while_typing=False,
            )
        self.last_code = 0

    async def run(self) -> int:
        """Read and run lines until Ctrl-D, end of input or `quit`; the last request's exit code."""
        self.connection.keep_connected()
        if self.interactive:
            print(f"quorvane shell: {self.connection.describe()}. {BANNER_HINT}", file=sys.stderr)
        while True:
            try:
                line = await self._read_line()
            except KeyboardInterrupt:  # Ctrl-C at the prompt drops the line typed so far
                continue
            except EOFError:
                return self.last_code
            if not await self.handle(line):
                return self.last_code

    async def _read_line(self) -> str:
        if self.session is None:
            line = await asyncio.to_thread(sys.stdin.readline)
            if not line:
                raise EOFError
            return line
        with patch_stdout(raw=True):  # log lines from the reconnect loop print above the prompt
            return await self.session.prompt_async(self._prompt)

    def _prompt(self) -> str:
        down = self.connection.address is not None and not self.connection.state.connected
        return OFFLINE_PROMPT if down else PROMPT

    async def handle(self, line: str) -> bool:
        """Run one line; False when it asks to leave."""
        try:
            words = shlex.split(line)
        except ValueError as exc:
            logger.error("Cannot read command line: {}", exc)
            return True
        if not words:
            return True
        name = words[0]
        if name in ("quit", "exit"):
            return False
        if name == "help":
            print(help_text(words[1:]))
        elif name == "status":
            print(self.status())
        else:
            await self._request(words)
        return True

    async def _request(self, words: list[str]) -> None:
        try:
            words, options = split_options(words)
        except ValueError as exc:
            logger.error("{}: {}", words[0], exc)
            self.last_code = 2
            return
        task = asyncio.create_task(execute(words, self.connection.state, options))
        with interrupt_cancels(task):
            try:
                self.last_code = await task
            except asyncio.CancelledError:
                if asyncio.current_task().cancelling():  # the shell itself is being stopped
                    raise
                print(f"{' '.join(words)}: cancelled", file=sys.stderr)
                self.last_code = 130

    def status(self) -> str:
        lines = [self.connection.describe()]
        for name in COMMAND_MODULES:
            cache = getattr(sys.modules.get(name), "_kline_cache", None)
            if cache is not None:
                entries = len(cache)
                lines.append(f"bar cache: {entries} request{'s' * (entries != 1)}, {cache.bars:,} bars")
        return "\n".join(lines)


def help_text(topics: list[str]) -> str:
    if not topics:
        commands = [f"  {name}: {_first_line(lookup(name).__doc__)}" for name in sorted(COMMANDS)]
        builtins = [f"  {text}" for text in BUILTINS.values()]
        return "\n".join(["Commands:", *commands, *builtins, OUTPUT_HELP, KEYS_HELP])
    texts = []
    for name in topics:
        cls = lookup(name)
        if cls is not None:
            texts.append((cls.__doc__ or f"{name}: no help text").rstrip() + "\n\n" + OUTPUT_HELP)
        else:
            texts.append(BUILTINS.get(name, f"Unknown command: {name}"))
    return "\n\n".join(texts)


def _first_line(doc: str | None) -> str:
    return (doc or "").strip().split("\n", 1)[0]
