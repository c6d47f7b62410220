"""Checking a command's words before it runs.

The kline command reads its words by position and passes over what does not fit: a word in the
adjustment word's place that is no adjustment word is taken as "not adjusted", and words after it
are dropped. So `kline AAPL 5min 100` would answer with 250 daily bars. The host reads the words
the way the command will, with the command's own vocabulary (its PERIOD_MAP, ADJUST_KEYWORDS and
date words), and refuses a line in which a word would be ignored or mistaken, naming the word and,
where one is near, the word meant.
"""

from __future__ import annotations

import difflib
import re
import sys
from collections.abc import Callable
from types import ModuleType

__all__ = ["check_words", "suggestion"]

INTRADAY = "intraday"
# A number and a unit, as people write bar sizes: "5min", "1 hr", "60m", "15mins".
_SIZED = re.compile(r"(\d+)\s*([a-z]+)")
_UNIT_SECONDS = {
    **dict.fromkeys(("m", "min", "mins", "minute", "minutes"), 60),
    **dict.fromkeys(("h", "hr", "hrs", "hour", "hours"), 3600),
    **dict.fromkeys(("d", "day", "days"), 86400),
    **dict.fromkeys(("w", "wk", "wks", "week", "weeks"), 7 * 86400),
}
# Adjectives of the periods: daily -> day.
_ADJECTIVES = {
    "daily": "day",
    "weekly": "week",
    "monthly": "month",
    "yearly": "year",
    "annual": "year",
    "hourly": "1h",
    "minutely": "1m",
}


def check_words(command: str, words: list[str]) -> str | None:
    """Why `command` would not read its `words` (those after its name) as typed: a line for the
    user, or None when it would, or when the host has no checker for the command."""
    checker = _CHECKERS.get(command)
    if checker is None:
        return None
    module = _module(command)
    return None if module is None else checker(module, words)


def _module(command: str) -> ModuleType | None:
    from quorvane.cmds.base import lookup

    cls = lookup(command)
    return sys.modules.get(cls.__module__) if cls is not None else None


# ---------------------------------------------------------------- kline


def _check_kline(kline: ModuleType, words: list[str]) -> str | None:
    rest = words[1:]  # after the symbol
    if not rest:
        return None
    if rest[0] == INTRADAY:
        return _ignored(rest[1:], "intraday takes no other words")
    if kline._is_date(rest[0]):
        return _check_range(kline, rest)
    return _check_latest(kline, rest)


def _check_latest(kline: ModuleType, rest: list[str]) -> str | None:
    at = 0
    if at < len(rest) and kline._is_period(rest[at]):
        at += 1
    if at < len(rest) and (count := count_of(rest[at])) is not None:
        if count < 1:
            return f"the count must be 1 or more, not {rest[at].strip()}"
        at += 1
    return _check_tail(kline, rest, at, "kline SYMBOL [period] [count] [adj]", counted=True)


def _check_range(kline: ModuleType, rest: list[str]) -> str | None:
    at = 0
    while at < 2 and at < len(rest) and kline._is_date(rest[at]):  # the start, then an optional end
        if (problem := _date_problem(kline, rest[at])) is not None:
            return problem
        at += 1
    if at < len(rest) and kline._is_period(rest[at]):
        at += 1
    return _check_tail(kline, rest, at, "kline SYMBOL START [END] [period] [adj]", counted=False)


def _check_tail(kline: ModuleType, rest: list[str], at: int, grammar: str, counted: bool) -> str | None:
    """The adjustment word's place, then nothing more."""
    if at < len(rest):
        word = rest[at]
        if word not in kline.ADJUST_KEYWORDS:
            return _unknown(kline, word, counted)
        at += 1
    return _ignored(rest[at:], f"the words go {grammar}")


def count_of(word: str) -> int | None:
    """The count a word gives, read as the command reads it (base 10, blanks, sign, underscores)."""
    try:
        return int(word, 10)
    except ValueError:
        return None


def _date_problem(kline: ModuleType, word: str) -> str | None:
    try:
        kline._parse_date(word)
    except ValueError as exc:
        return f"{word} is no calendar date ({exc})"
    return None


def _unknown(kline: ModuleType, word: str, counted: bool) -> str:
    meant = suggestion(word, kline)
    count = ", a count" if counted else ""
    known = f"periods {' '.join(kline.PERIOD_DEFAULT_COUNT)}{count}, {' or '.join(sorted(kline.ADJUST_KEYWORDS))}"
    if meant is not None:
        return f"{_shown(word)} is not a kline word: did you mean {meant}? ({known})"
    return f"{_shown(word)} is not a kline word ({known})"


def _ignored(words: list[str], how: str) -> str | None:
    if not words:
        return None
    return f"{_shown(' '.join(words))} would be ignored: {how}"


def _shown(text: str) -> str:
    """A word as the user typed it, quoted, with anything unprintable escaped."""
    return repr(text) if not text.isprintable() or not text.strip() or text != text.strip() else f'"{text}"'


def suggestion(word: str, kline: ModuleType) -> str | None:
    """The period or adjustment word a mistyped `word` most likely meant, or None."""
    vocabulary = [*kline.PERIOD_DEFAULT_COUNT, *kline.PERIOD_MAP, *sorted(kline.ADJUST_KEYWORDS), INTRADAY]
    folded = word.strip().lower()
    if folded in vocabulary:
        return folded  # "Day", "ADJ", " day"
    if folded in _ADJECTIVES:
        return _ADJECTIVES[folded]
    if sized := _SIZED.fullmatch(folded):
        return _sized_period(int(sized[1]), sized[2], kline)
    close = difflib.get_close_matches(folded, vocabulary, n=1, cutoff=0.75)
    return close[0] if close else None


def _sized_period(number: int, unit: str, kline: ModuleType) -> str | None:
    """The canonical period of exactly that length ("5min" -> "5m", "60m" -> "1h"), or None."""
    seconds = number * _UNIT_SECONDS.get(unit, 0)
    for period in kline.PERIOD_DEFAULT_COUNT:  # canonical words, in the module's order
        if kline.BAR_SECONDS.get(kline.PERIOD_MAP.get(period)) == seconds and seconds:
            return period
    return None


_CHECKERS: dict[str, Callable[[ModuleType, list[str]], str | None]] = {"kline": _check_kline}
