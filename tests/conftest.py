# Fixtures shared by every test area: the yfinance library boundary, the simulated IBKR
# gateway, captured log lines, a Redis server, a pinned local calendar, and a bar store of each test's own.
import itertools
import socket

import pytest
from loguru import logger

pytest_plugins = ["fixtures.yf", "fixtures.gateway", "fixtures.logs", "fixtures.redis_server", "fixtures.clock"]

_test_numbers = itertools.count()


@pytest.fixture(scope="session")
def cache_homes(tmp_path_factory):
    return tmp_path_factory.mktemp("cache-homes")


@pytest.fixture(scope="session", autouse=True)
def simulator_calendars(tmp_path_factory):
    """One folder of exchange sessions for the whole run, so a simulator in a subprocess never rebuilds them."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("IBSIM_CACHE_DIR", str(tmp_path_factory.mktemp("ibsim-calendars")))
        yield


@pytest.fixture(autouse=True)
def own_bar_store(cache_homes, monkeypatch):
    """The default bar store moves to a folder of the test's own, never the user's ~/.cache;
    subprocesses inherit it. The folder appears only when something is stored."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache_homes / str(next(_test_numbers))))
    monkeypatch.delenv("KLINE_CACHE_URL", raising=False)


@pytest.fixture(autouse=True)
def host_log_lines():
    """quorvane's log lines on, as the command line has them (used as a library they are off)."""
    logger.enable("quorvane")


@pytest.fixture
def closed_port() -> int:
    """A loopback port nobody listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
