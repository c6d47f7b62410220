"""The shell's prompt at a terminal (prompt_toolkit): line editing, completion and history."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from loguru import logger
from prompt_toolkit import PromptSession
from prompt_toolkit.completion import Completer, Completion
from prompt_toolkit.history import FileHistory, History, InMemoryHistory
from prompt_toolkit.patch_stdout import patch_stdout

from quorvane.cmds.base import COMMANDS, lookup
from quorvane.helptext import SHELL_WORDS

ENV_HISTORY = "QUORVANE_HISTORY"
# Words worth completing after a command's symbol, when its module defines them.
VOCABULARY_TABLES = ("PERIOD_MAP", "ADJUST_KEYWORDS")
MODE_WORDS = ("intraday",)
OUTPUT_FLAGS = ("--chart", "--chart-file", "--json", "--csv")


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
            return sorted(set(COMMANDS) | set(SHELL_WORDS))
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


class PromptReader:
    """Reads lines at the prompt; log lines printed meanwhile appear above it."""

    def __init__(self, history: History | None = None) -> None:
        self.session: PromptSession[str] = PromptSession(
            history=history if history is not None else open_history(),
            completer=ShellCompleter(),
            complete_while_typing=False,
        )

    async def read(self, prompt) -> str:
        with patch_stdout(raw=True):
            return await self.session.prompt_async(prompt)
