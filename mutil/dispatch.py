"""Argument declarations for commands, and binding command-line words to them."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any


class ArgumentError(ValueError):
    """The words of a command line do not fit its argument declarations."""


@dataclass(frozen=True)
class DArg:
    """One argument a command takes.

    A plain name takes the next word (None when the line has run out), passed
    through `convert` when given. A name starting with "*" takes every word
    left, as a new list (possibly empty); the attribute is the name without
    the star.
    """

    name: str
    convert: Callable[[str], Any] | None = None
    desc: str = ""

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name.lstrip("*"):
            raise ValueError(f"DArg needs a name, got {self.name!r}")
        if self.convert is not None and not callable(self.convert):
            raise TypeError(f"DArg {self.name}: convert must be callable")

    @property
    def greedy(self) -> bool:
        return self.name.startswith("*")

    @property
    def attr(self) -> str:
        return self.name[1:] if self.greedy else self.name


def bind(args: Sequence[DArg], words: Sequence[str]) -> dict[str, Any]:
    """Map each declared attribute to its value taken from `words`, in order."""
    values: dict[str, Any] = {}
    remaining = list(words)
    for arg in args:
        if arg.greedy:
            values[arg.attr], remaining = remaining, []
        elif remaining:
            values[arg.attr] = _convert(arg, remaining.pop(0))
        else:
            values[arg.attr] = None
    if remaining:
        raise ArgumentError(f"unexpected words: {' '.join(remaining)}")
    return values


def _convert(arg: DArg, word: str) -> Any:
    if arg.convert is None:
        return word
    try:
        return arg.convert(word)
    except Exception as exc:
        raise ArgumentError(f"bad {arg.attr} {word!r}: {exc}") from exc
