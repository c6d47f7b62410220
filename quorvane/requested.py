"""How many bars a latest-candles line asked for, which its record does not say.

A latest-candles record's "count" is how many bars came back (fewer when the history is shorter
than asked). The host adds the count asked under REQUESTED, so the summary can say "432 of 500
bars" and --json carries both. The words are read in the command's own order (period, count)
with the command's own vocabulary, so the default count of a period is the command's.
"""

from __future__ import annotations

import sys

from quorvane.words import count_of

COMMAND = "kline"
MODULE = "quorvane.cmds.quotes.kline"
# The count a period word without a table entry (an alias) defaults to, as in the command.
OTHER_PERIODS_COUNT = 100


def requested_count(words: list[str], record: object) -> int | None:
    """The count `words` asked for when `record` answers a latest-candles line; else None."""
    kline = sys.modules.get(MODULE)  # loaded once a kline line has run
    if kline is None or not words or words[0] != COMMAND or not _is_latest(record):
        return None
    rest = list(words[2:])
    period = "day"
    if rest and kline._is_period(rest[0]):
        period = rest.pop(0)
    if rest and (count := count_of(rest[0])) is not None:
        return count
    return kline.PERIOD_DEFAULT_COUNT.get(period, OTHER_PERIODS_COUNT)


def _is_latest(record: object) -> bool:
    return isinstance(record, dict) and "count" in record and "error" not in record
