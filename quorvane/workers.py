"""Where a session's blocking calls run (public-data downloads, reading a script's lines).

asyncio's default executor is a thread pool whose threads the process waits for when it ends, so
a download hanging on a network that never answers kept the process alive after Ctrl-C, for as
long as the download took. Here each call runs on a daemon thread of its own, which the process
does not wait for: a call still hanging when the session ends is simply dropped with it.
"""

from __future__ import annotations

import asyncio
import threading
from concurrent.futures import Future, ThreadPoolExecutor


class DaemonExecutor(ThreadPoolExecutor):
    """A thread pool in name only (asyncio takes no other kind): no pool, a daemon thread per call."""

    def submit(self, fn, /, *args, **kwargs) -> Future:
        future: Future = Future()

        def work() -> None:
            if not future.set_running_or_notify_cancel():
                return
            try:
                result = fn(*args, **kwargs)
            except BaseException as exc:  # handed to the awaiting side, as a pool thread would
                future.set_exception(exc)
            else:
                future.set_result(result)

        threading.Thread(target=work, name="quorvane-call", daemon=True).start()
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Nothing to wait for: the process does not outlive a call that hangs."""


def use_daemon_threads() -> None:
    """Blocking calls of the running loop (asyncio.to_thread) run on daemon threads from now on."""
    asyncio.get_running_loop().set_default_executor(DaemonExecutor())
