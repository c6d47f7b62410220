"""Which store a process uses: the URL it was given, once checked, and the simulator's own.

The bar cache and the pacing guard both ask here, so a URL that cannot be used costs one warning
for both, and both then keep to the process (bars in memory, its own pacing count).
"""

from __future__ import annotations

from pathlib import Path

from loguru import logger

from quorvane.gateway.bar_store.urls import MEMORY, SQLITE, url_problem, without_password

_refused: set[str] = set()  # URLs warned about already
_simulated = False


def keep_simulated_bars_apart() -> None:
    """From now on this process serves a simulated gateway: its bars must never answer for a real one."""
    global _simulated
    _simulated = True


def settled_url(url: str, origin: str) -> str:
    """The store URL to use for `url` (named by `origin`, e.g. KLINE_CACHE_URL, in the warning)."""
    if _simulated:
        url = simulator_url(url)
    problem = url_problem(url)
    if problem is None:
        return url
    if url not in _refused:
        _refused.add(url)
        logger.warning(
            "Ignoring {}={!r} ({}); bars stay in memory and pacing is counted by this process",
            origin,
            without_password(url),
            problem,
        )
    return MEMORY


def simulator_url(url: str) -> str:
    """A simulated session's store: a file beside the real one (sim-bars.sqlite), else memory.

    Never the desk's Redis server: other terminals would take synthetic bars for real ones."""
    if not url.startswith(SQLITE) or url_problem(url) is not None:
        return MEMORY
    path = Path(url[len(SQLITE) :])
    return SQLITE + str(path.with_name(f"sim-{path.name}"))
