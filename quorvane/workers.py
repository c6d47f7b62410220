"""Where a session's blocking calls run (public-data downloads, reading a script's lines).

asyncio's default executor is a thread pool whose threads the process waits for when it ends, so
a download hanging on a network that never answers kept the process alive after Ctrl-C, for as
long as the download took. Here each call runs on a daemon thread of its own, which the process
does not wait for. A process that ends while one still hangs ends at once (`leave`): finalizing
the interpreter under a thread that still holds the extension's objects can crash it.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import sys
import threading
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor

_running: set[threading.Thread] = set()  # calls not yet returned, on every executor


class DaemonExecutor(ThreadPoolExecutor):
    """A thread pool in name only (asyncio takes no other kind): no pool, a daemon thread per call."""

    def submit(self, fn, /, *args, **kwargs) -> Future:
        future: Future = Future()

        def work() -> None:
            try:
                if not future.set_running_or_notify_cancel():
                    return
                try:
                    result = fn(*args, **kwargs)
                except BaseException as exc:  # handed to the awaiting side, as a pool thread would
                    future.set_exception(exc)
                else:
                    future.set_result(result)
            finally:
                _running.discard(thread)

        thread = threading.Thread(target=work, name="quorvane-call", daemon=True)
        _running.add(thread)
        thread.start()
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Nothing to wait for: the process does not outlive a call that hangs."""


def use_daemon_threads() -> None:
    """Blocking calls of the running loop (asyncio.to_thread) run on daemon threads from now on."""
    asyncio.get_running_loop().set_default_executor(DaemonExecutor())


def calls_running() -> bool:
    """Whether a blocking call is still under way (a download that hangs)."""
    return bool(_running)


def leave(code: int, finish: Callable[[], None]) -> None:
    """End the process now with `code`, after `finish` (what must not be lost) and the streams."""
    try:
        finish()
    finally:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):
                stream.flush()
        os._exit(code)
