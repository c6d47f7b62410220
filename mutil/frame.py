"""Printing data frames as aligned text tables."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import IO

import pandas as pd

from mutil import streams

# A frame longer than this prints its head and tail around one elision line.
MAX_ROWS = 40
# Decimals shown for float columns: enough for prices, more for small values.
FLOAT_DECIMALS = 4
SMALL_FLOAT_DECIMALS = 8

# False inside `tables_hidden()`: code that wants the data, not the printout (the Python API).
_tables_shown: ContextVar[bool] = ContextVar("tables_shown", default=True)


def printFrame(frame: pd.DataFrame | pd.Series, title: str = "", file: IO[str] | None = None) -> None:
    """Print `title`, then `frame` as a table on stdout (or `file`).

    A reader that went away (a closed pipe) ends the printing quietly; the
    caller is never interrupted by it.
    """
    if _tables_shown.get():
        streams.write(formatFrame(frame, title) + "\n", file)


@contextmanager
def tables_hidden() -> Iterator[None]:
    """printFrame prints nothing in this context (this task and what it awaits)."""
    token = _tables_shown.set(False)
    try:
        yield
    finally:
        _tables_shown.reset(token)


def formatFrame(frame: pd.DataFrame | pd.Series, title: str = "") -> str:
    """The text printFrame prints. Only the rows shown are ever formatted."""
    if isinstance(frame, pd.Series):
        frame = frame.to_frame()
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"printFrame needs a DataFrame, got {type(frame).__name__}")
    lines = [str(title)] if title else []
    rows = len(frame)
    if rows <= MAX_ROWS:
        return "\n".join([*lines, _table(frame)])
    edge = MAX_ROWS // 2
    shown = pd.concat([frame.iloc[:edge], frame.iloc[-edge:]])
    table = _table(shown).split("\n")
    header = len(table) - len(shown)
    omitted = f"... {rows - len(shown):,} rows omitted ..."
    return "\n".join(lines + table[: header + edge] + [omitted] + table[header + edge :])


def _table(frame: pd.DataFrame) -> str:
    # By position, not name: column names may repeat.
    columns = [frame.iloc[:, i] for i in range(frame.shape[1])]
    formatters = [_float_formatter(c) if pd.api.types.is_float_dtype(c.dtype) else None for c in columns]
    # pandas takes None for a column left as it is; its stubs do not say so.
    return frame.to_string(formatters=formatters or None)  # type: ignore[arg-type]


def _float_formatter(column: pd.Series):
    """One decimal count per column, so the points line up."""
    values = column.dropna().astype("float64")
    small = len(values) > 0 and values.abs().max() < 1
    cap = SMALL_FLOAT_DECIMALS if small else FLOAT_DECIMALS
    decimals = max([_decimals_needed(v, cap) for v in values], default=1)
    return lambda v: f"{v:.{decimals}f}"


def _decimals_needed(value: float, cap: int) -> int:
    text = f"{value:.{cap}f}".rstrip("0")
    return max(1, len(text) - text.find(".") - 1) if "." in text else 1
