"""The bar cache's way to a backend: encoding, a writer thread, and what trouble costs.

Reads happen where they are asked for (the event loop) and decode at once. Writes are encoded
and written in order on one thread of the store's own, so a large entry or a slow disk or
server never holds up the loop; the thread finishes its queue before the process exits.

Trouble costs one warning and nothing more: a read that fails is a miss, a write that fails
leaves the bars in memory, an entry that fails a check is a miss (and is replaced when the
bars are fetched again). A store that may recover is left alone for a pause that starts at one
second and doubles up to five minutes; one that cannot (damaged, another format) for the rest
of the session.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

from loguru import logger

from quorvane.backoff import Backoff
from quorvane.gateway.bar_store.backend import Backend, StoreDown, StoreTrouble, StoreUnusable, WriteRefused

FIRST_PAUSE = 1.0
LONGEST_PAUSE = 300.0


class BarStore:
    """A cache's lasting entries in a backend: records in, records out, troubles kept inside."""

    def __init__(self, backend: Backend, clock: Callable[[], float] = time.monotonic) -> None:
        self.backend = backend
        self._health = _Health(backend.location, clock)
        self._writer: ThreadPoolExecutor | None = None

    @property
    def shares_live(self) -> bool:
        return self.backend.shares_live

    @property
    def location(self) -> str:
        return self.backend.location

    def load(self, key: str) -> tuple[list, float | None] | None:
        """The records stored under `key` and their seconds left (None: no expiry), or None."""
        from quorvane.gateway.bar_store import codec  # a session that stores nothing never loads it

        if not self._health.may_read():
            return None
        try:
            found = self.backend.read(key)
        except StoreTrouble as trouble:
            self._health.failed(trouble)
            return None
        self._health.read_worked()
        if found is None:
            return None
        entry, seconds_left = found
        try:
            return codec.decode(key, entry), seconds_left
        except codec.BadEntry as exc:
            self._health.bad_entry(key, exc)
            return None

    def save(self, key: str, records: list, ttl: float | None) -> None:
        """Queue the records for writing; `ttl` seconds to keep them (None: always)."""
        if self._health.may_write():
            if self._writer is None:
                self._writer = ThreadPoolExecutor(max_workers=1, thread_name_prefix="bar-store")
            self._writer.submit(self._write, key, records, ttl)

    def flush(self) -> None:
        """Wait until every queued write is done."""
        if self._writer is not None:
            self._writer.submit(lambda: None).result()

    def _write(self, key: str, records: list, ttl: float | None) -> None:
        from quorvane.gateway.bar_store import codec

        if not self._health.may_write():
            return
        try:
            entry = codec.encode(key, records, time.time())
            self.backend.write(key, entry, ttl)
        except codec.Unstorable as exc:
            logger.debug("Bar store: {} stays in memory only ({})", key, exc)
        except StoreTrouble as trouble:
            self._health.failed(trouble)
        except Exception as exc:  # on a thread of its own, nobody else would see it
            self._health.failed(WriteRefused(f"{type(exc).__name__}: {exc}"))
        else:
            self._health.write_worked()


class _Health:
    """A store's troubles: when to try again, and one warning per spell of trouble."""

    def __init__(self, location: str, clock: Callable[[], float]) -> None:
        self._location = location
        self._clock = clock
        self._lock = threading.Lock()  # the event loop and the writer thread both report
        self._unusable = False
        self._reads = _Pause()
        self._writes = _Pause()
        self._warned = False
        self._warned_bad_entry = False

    def may_read(self) -> bool:
        return not self._unusable and not self._reads.active(self._clock())

    def may_write(self) -> bool:
        return not self._unusable and not self._writes.active(self._clock())

    def failed(self, trouble: StoreTrouble) -> None:
        with self._lock:
            now = self._clock()
            if isinstance(trouble, StoreUnusable):
                self._unusable = True
                outcome = "bars stay in memory this session, and the file is left as it is"
            elif isinstance(trouble, StoreDown):
                self._reads.extend(now)
                self._writes.extend(now)
                outcome = "bars stay in memory until it answers"
            else:
                self._writes.extend(now)
                outcome = "new bars stay in memory until it takes them"
            if self._warned:
                logger.debug("Bar store {}: {}", self._location, trouble)
                return
            self._warned = True
        logger.warning("Bar store {}: {}; {}", self._location, trouble, outcome)

    def read_worked(self) -> None:
        self._recovered(self._reads)

    def write_worked(self) -> None:
        self._recovered(self._writes)

    def bad_entry(self, key: str, error: Exception) -> None:
        with self._lock:
            first, self._warned_bad_entry = not self._warned_bad_entry, True
        log = logger.warning if first else logger.debug
        log("Bar store {}: entry {} failed its check ({}); fetching it again", self._location, key, error)

    def _recovered(self, pause: _Pause) -> None:
        if not pause.length:  # the usual case: nothing to do, no lock taken
            return
        with self._lock:
            pause.clear()
            if self._reads.length or self._writes.length or not self._warned:
                return
            self._warned = False
        logger.info("Bar store {} works again", self._location)


class _Pause:
    """How long to leave an operation alone after it failed: longer each time in a row."""

    def __init__(self) -> None:
        self.length = 0.0
        self._until = 0.0
        self._lengths = Backoff(FIRST_PAUSE, cap=LONGEST_PAUSE)

    def active(self, now: float) -> bool:
        return now < self._until

    def extend(self, now: float) -> None:
        self.length = self._lengths.next()
        self._until = now + self.length

    def clear(self) -> None:
        self.length = self._until = 0.0
        self._lengths.reset()
