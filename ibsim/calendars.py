"""Exchange sessions from pandas_market_calendars, built once and kept on disk.

A calendar gives, for each trade date, when the market trades at all and when
its regular hours are: holidays have no row, early closes a shorter one. Stock
calendars know pre- and post-market; futures calendars know only the whole
electronic session, which then serves as both.

Importing the library and building a schedule costs about 0.2 s plus 0.1 s per
calendar, too much for a one-shot run against the simulator. So each
(calendar, zone) table is computed once per library version and stored as a
small numpy file under $IBSIM_CACHE_DIR, else $XDG_CACHE_HOME/ibsim
(~/.cache/ibsim); a file that is absent or unreadable is rebuilt, and a cache
that cannot be written is skipped.
"""

import contextlib
import datetime as dt
import functools
import os
import tempfile
import zipfile
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

import numpy as np

LIBRARY = "pandas_market_calendars"
FIRST_DAY = dt.date(1990, 1, 1)  # no bars before the price model's epoch anyway
LAST_DAY = dt.date(2045, 12, 31)
LAYOUT = 1  # raise when the stored arrays change meaning
ALL_HOURS, REGULAR = 0, 1  # columns of SessionTable.opens and .closes


@dataclass(frozen=True, eq=False)
class SessionTable:
    """The sessions of one calendar, as wall-clock times of one zone.

    Row i is the session of trade date `days[i]` (date ordinals, ascending).
    Times are seconds from local midnight of that date, negative for an
    evening-before open; column ALL_HOURS is when the market trades at all,
    column REGULAR its regular hours.
    """

    days: np.ndarray  # int64, shape (n,)
    opens: np.ndarray  # int64, shape (n, 2)
    closes: np.ndarray  # int64, shape (n, 2)

    def is_session(self, day: dt.date) -> bool:
        i = int(np.searchsorted(self.days, day.toordinal()))
        return i < len(self.days) and self.days[i] == day.toordinal()


@functools.cache
def session_table(calendar: str, zone: str) -> SessionTable:
    """The sessions of `calendar` in `zone`, from the disk cache when it holds them."""
    path = _cache_dir() / f"{calendar}@{zone.replace('/', '-')}-{version(LIBRARY)}-{LAYOUT}.npz"
    table = _load(path)
    if table is None:
        table = _build(calendar, zone)
        _store(path, table)
    return table


def _cache_dir() -> Path:
    if os.environ.get("IBSIM_CACHE_DIR"):
        return Path(os.environ["IBSIM_CACHE_DIR"])
    base = os.environ.get("XDG_CACHE_HOME", "")
    return (Path(base) if os.path.isabs(base) else Path.home() / ".cache") / "ibsim"


def _load(path: Path) -> SessionTable | None:
    try:
        with np.load(path) as stored:
            table = SessionTable(stored["days"], stored["opens"], stored["closes"])
    except (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile):
        return None
    rows = len(table.days)
    if table.days.ndim != 1 or table.opens.shape != (rows, 2) or table.closes.shape != (rows, 2):
        return None
    return table


def _store(path: Path, table: SessionTable) -> None:
    """Write atomically, so a concurrent reader never sees half a file, and leave nothing behind
    when the write fails (a full disk) or is interrupted: a partial file on every run would fill
    what little room is left."""
    temporary = None
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=path.parent, suffix=".tmp", delete=False) as out:
            temporary = out.name
            np.savez(out, days=table.days, opens=table.opens, closes=table.closes)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
        temporary = None
    except OSError:
        pass  # a read-only or full disk only costs the next run a rebuild
    finally:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def _build(calendar: str, zone: str) -> SessionTable:
    import pandas as pd
    import pandas_market_calendars as mcal

    exchange = mcal.get_calendar(calendar)
    names = exchange.regular_market_times
    first = "pre" if "pre" in names else "market_open"
    last = "post" if "post" in names else "market_close"
    schedule = exchange.schedule(FIRST_DAY, LAST_DAY, start=first, end=last, tz=zone)
    midnights = schedule.index

    def seconds(column: str) -> np.ndarray:
        local = schedule[column].dt.tz_localize(None)
        return ((local - midnights) // pd.Timedelta(seconds=1)).to_numpy(np.int64)

    days = np.array([d.toordinal() for d in midnights.date], dtype=np.int64)
    opens = np.stack([seconds(first), seconds("market_open")], axis=1)
    closes = np.stack([seconds(last), seconds("market_close")], axis=1)
    return SessionTable(days, opens, closes)
