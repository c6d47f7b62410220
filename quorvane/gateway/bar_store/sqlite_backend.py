"""Entries in one SQLite file, shared by every process of the user.

One table, `bars(key, entry)`; the file's `user_version` is its format. The file is written in
WAL mode, so readers never wait for a writer. Each entry is written in its own statement, so two
processes writing at once both keep what they wrote.
"""

from __future__ import annotations

import time
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import TYPE_CHECKING

from quorvane.gateway.bar_store.backend import StoredEntry, StoreDown, StoreUnusable, WriteRefused

if TYPE_CHECKING:
    import sqlite3

FORMAT = 1
_SCHEMA = "CREATE TABLE bars (key TEXT PRIMARY KEY, entry BLOB NOT NULL)"

# Primary result codes (sqlite3.h) of a file that is no use.
_CORRUPT, _NOTADB = 11, 26


class SqliteBackend:
    shares_live = False
    read_wait = 0.25  # seconds a read waits out another process's write: it runs on the event loop
    write_wait = 10.0  # a write runs on the store's own thread and can wait longer

    def __init__(self, path: Path) -> None:
        self.path = path
        self.location = str(path)
        self._reader: sqlite3.Connection | None = None
        self._writer: sqlite3.Connection | None = None
        self._table_seen = False  # by the reader: from then on the format is known

    def read(self, key: str) -> tuple[bytes, None] | None:
        with _troubles(writing=False):
            reader = self._reading()
            row = reader and reader.execute("SELECT entry FROM bars WHERE key = ?", (key,)).fetchone()
        return (row[0], None) if row else None

    def write(self, key: str, entry: bytes, ttl: float | None) -> None:
        with _troubles(writing=True):
            self._writing().execute("INSERT OR REPLACE INTO bars (key, entry) VALUES (?, ?)", (key, entry))

    def entries(self, head_size: int) -> Iterator[StoredEntry]:
        with _troubles(writing=False):
            reader = self._reading()
            rows = (
                reader.execute(
                    "SELECT key, length(entry), substr(entry, 1, ? + length(CAST(key AS BLOB))) FROM bars ORDER BY key",
                    (head_size,),
                ).fetchall()
                if reader
                else []
            )
        return (StoredEntry(key, size, head) for key, size, head in rows)

    def size(self) -> int:
        files = (self.path, self.path.with_name(self.path.name + "-wal"))
        return sum(file.stat().st_size for file in files if file.exists())

    def clear(self) -> int:
        """Empty the table. A file that is not a bar store of this format (a text file, another
        program's database, a damaged file) raises StoreUnusable and is left as it is."""
        with _troubles(writing=True):
            if not self.path.exists():
                return 0
            writer = self._writing()
            removed = writer.execute("DELETE FROM bars").rowcount
            writer.execute("VACUUM")
            return removed

    def close(self) -> None:
        for connection in (self._reader, self._writer):
            if connection is not None:
                connection.close()
        self._reader = self._writer = None
        self._table_seen = False

    def _reading(self) -> sqlite3.Connection | None:
        """The reading connection; None while there is no file or no table yet."""
        if self._reader is None:
            if not self.path.exists():
                return None
            # mode=rw: a read never creates the file.
            self._reader = _connect(f"{self.path.as_uri()}?mode=rw", self.read_wait)
        self._table_seen = self._table_seen or _has_table(self._reader)
        return self._reader if self._table_seen else None

    def _writing(self) -> sqlite3.Connection:
        if self._writer is None:
            try:
                _create_private(self.path)
            except OSError as exc:
                raise WriteRefused(f"cannot create {exc.filename or self.path}: {exc.strerror or exc}") from None
            writer = _connect(f"{self.path.as_uri()}?mode=rwc", self.write_wait)
            try:
                _has_table(writer)  # another program's database is refused before anything changes it
                _use_write_ahead_log(writer, self.write_wait)
                writer.execute("PRAGMA synchronous=NORMAL")  # a power cut may lose the last entries, not the file
                _create_table(writer)
            except BaseException:
                writer.close()
                raise
            self._writer = writer
        return self._writer


def _create_private(path: Path) -> None:
    """The store's folder (0700) and an empty file (0600), unless they exist: bars and the requests
    they answer are the user's business. SQLite gives its -wal and -shm files the file's mode."""
    import os

    with suppress(FileExistsError):  # the usual case; a file in its place fails below
        path.parent.mkdir(parents=True, mode=0o700)
    with suppress(FileExistsError):
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))


def _connect(uri: str, wait: float) -> sqlite3.Connection:
    import sqlite3  # a few milliseconds: only for a session that uses the store

    # Reads come from the event loop's thread and writes from the writer's, each on its own
    # connection; `close` may come from any thread.
    return sqlite3.connect(uri, uri=True, timeout=wait, isolation_level=None, check_same_thread=False)


def _use_write_ahead_log(writer: sqlite3.Connection, wait: float) -> None:
    """Switch the file to write-ahead logging. The switch fails at once, without waiting, while
    another process holds the file (two creating it at the same moment), so it is tried again."""
    import sqlite3

    deadline = time.monotonic() + wait
    while True:
        try:
            writer.execute("PRAGMA journal_mode=WAL")
            return
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc) or time.monotonic() >= deadline:
                raise
            time.sleep(0.02)


def _has_table(connection: sqlite3.Connection) -> bool:
    """True for a store of this format; False for a file still empty; StoreUnusable otherwise."""
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == FORMAT:
        return True
    if version == 0 and connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0:
        return False
    if version == 0:
        raise StoreUnusable("the file holds other tables")
    raise StoreUnusable(f"format {version}; this version reads format {FORMAT}")


def _create_table(writer: sqlite3.Connection) -> None:
    writer.execute("BEGIN IMMEDIATE")  # another process creating it at the same moment waits
    try:
        if not _has_table(writer):
            writer.execute(_SCHEMA)
            writer.execute(f"PRAGMA user_version = {FORMAT}")
        writer.execute("COMMIT")
    except BaseException:
        if writer.in_transaction:
            writer.execute("ROLLBACK")
        raise


@contextmanager
def _troubles(writing: bool):
    """sqlite3 errors as store troubles."""
    import sqlite3

    try:
        yield
    except sqlite3.Error as exc:
        if (getattr(exc, "sqlite_errorcode", None) or 0) & 0xFF in (_CORRUPT, _NOTADB):
            raise StoreUnusable(str(exc)) from None
        # Locked by another process, a full disk, a read-only file or folder, an I/O error. A
        # writer holding the lock does not stop reads of the WAL file, so a write failing stops
        # only writes.
        raise (WriteRefused if writing else StoreDown)(str(exc)) from None
    except OSError as exc:
        raise (WriteRefused if writing else StoreDown)(exc.strerror or str(exc)) from None
