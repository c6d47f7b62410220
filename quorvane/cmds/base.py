"""The command base class, the command registry, and running a command line."""

from __future__ import annotations

import shlex
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, ClassVar

from mutil.dispatch import ArgumentError, DArg, bind

# Command name -> command class, filled by @command at import of each command module.
COMMANDS: dict[str, type[IOp]] = {}


@dataclass(kw_only=True)
class IOp:
    """Base of every command.

    The host builds a command as `cls(state=..., ib=...)`, assigns the
    attributes its `argmap()` declares from the command line, then awaits
    `run()` for the result record.
    """

    state: Any = None  # the host state object (gateway flag, symbol resolution)
    ib: Any = field(default=None, repr=False)  # the host's ib_async connection

    # Commands that only make sense with a live gateway keep this true;
    # the host refuses to run them while disconnected.
    requires_gateway: ClassVar[bool] = True

    # Error texts of this command's records that mean its words were wrong (exit 2),
    # rather than that data could not be had (exit 1).
    usage_errors: ClassVar[tuple[str, ...]] = ()

    def argmap(self) -> list[DArg]:
        return []

    async def run(self) -> dict:
        raise NotImplementedError(f"{type(self).__name__} has no run()")


def command(*, names: Iterable[str]) -> Callable[[type], type]:
    """Class decorator registering a command under each of `names`.

    A name registered again points to the newer class (a reloaded module wins).
    """
    if isinstance(names, str):
        raise TypeError("command(names=...) takes a list of names, not one string")
    names = list(names)
    if not names or not all(isinstance(n, str) and n for n in names):
        raise ValueError(f"command names must be non-empty strings, got {names!r}")

    def register(cls: type) -> type:
        for name in names:
            COMMANDS[name] = cls
        return cls

    return register


def lookup(name: str) -> type[IOp] | None:
    return COMMANDS.get(name)


async def run_command(
    words: Sequence[str] | str, *, state: Any = None, ib: Any = None, prepare: Callable[[IOp], None] | None = None
) -> dict:
    """Run one command line the way the terminal does and return its result record.

    Lines the host cannot run (empty, unknown command, words that do not fit
    the arguments, gateway required but absent) come back as {"error": ...},
    which the caller shows. `prepare` sees the command once its words are
    set, before it runs. Failures raised inside the command's run() reach the caller.
    """
    try:
        words = shlex.split(words) if isinstance(words, str) else list(words)
    except ValueError as exc:  # unbalanced quotes
        return _refuse(f"Cannot read command line: {exc}")
    if not words:
        return _refuse("Empty command line")
    name, args = words[0], words[1:]
    cls = lookup(name)
    if cls is None:
        return _refuse(f"Unknown command: {name}")
    if cls.requires_gateway and not (state is not None and state.connected):
        return _refuse(f"{name} needs a connected gateway")
    if ib is None:
        ib = getattr(state, "ib", None)
    cmd = cls(state=state, ib=ib)
    try:
        values = bind(cmd.argmap(), args)
    except ArgumentError as exc:
        return _refuse(f"{name}: {exc}")
    for attr, value in values.items():
        setattr(cmd, attr, value)
    if prepare is not None:
        prepare(cmd)
    return await cmd.run()


def _refuse(message: str) -> dict:
    return {"error": message}
