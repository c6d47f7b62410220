"""Loading the command modules: importing each one registers its commands."""

from __future__ import annotations

import importlib
import sys

from quorvane.interrupts import interrupted
from quorvane.logs import CommandLogger

COMMAND_MODULES = ("quorvane.cmds.quotes.kline",)


def load_commands(modules: tuple[str, ...] | None = None) -> bool:
    """Import every command module; False after one line on stderr when one cannot load."""
    for name in COMMAND_MODULES if modules is None else modules:
        try:
            module = importlib.import_module(name)
        except Exception as exc:  # a broken build can fail in many ways; report each the same
            if interrupted(exc):
                raise KeyboardInterrupt from exc
            print(f"quorvane: cannot load {name}: {type(exc).__name__}: {exc}", file=sys.stderr)
            return False
        if getattr(module, "__file__", None) is None:
            # An unbuilt extension's source folder imports as an empty namespace package.
            print(f"quorvane: cannot load {name}: not built (found only {list(module.__path__)})", file=sys.stderr)
            return False
        if hasattr(module, "logger"):
            vars(module)["logger"] = CommandLogger()  # its lines are quorvane's, on any thread
    return True


def flush_caches() -> None:
    """Wait until the command modules' bar caches have written what they were given to their store."""
    for name in COMMAND_MODULES:
        cache = getattr(sys.modules.get(name), "_kline_cache", None)
        if cache is not None:
            cache.flush()
