"""The runner as a user meets it: `python -m quorvane` in a subprocess, or on a pseudo-terminal."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RUN_TIMEOUT = 60  # seconds; a run against the simulator takes about one
SIM_ARGS = "--latency 0.02,0.00005"
# Installed as `yfinance` in every subprocess, so a fallback never reaches the network.
# $YF_UNLISTED names tickers it does not know ("NOSUCH,ZZZZ").
YFINANCE_STUB = """\
import os
import sys
from fixtures.yf import FakeYfinance
fake = FakeYfinance()
fake.unlisted = set(filter(None, os.environ.get("YF_UNLISTED", "").split(",")))
sys.modules[__name__] = fake
"""


@pytest.fixture(scope="session")
def extension():
    """The kline module, imported once before any subprocess imports it."""
    import quorvane.cmds.quotes.kline as kline

    return kline


@pytest.fixture
def runner_env(extension, tmp_path) -> dict:
    """The environment of a runner subprocess: public data from the stand-in, history in tmp_path."""
    stub = tmp_path / "stub" / "yfinance"
    stub.mkdir(parents=True)
    (stub / "__init__.py").write_text(YFINANCE_STUB)
    environ = {k: v for k, v in os.environ.items() if k not in ("QUORVANE_GATEWAY", "NO_COLOR")}
    environ.update(
        PYTHONPATH=os.pathsep.join([str(stub.parent), str(ROOT / "tests"), str(ROOT)]),
        QUORVANE_HISTORY=str(tmp_path / "history"),
        # A quick --sim: a test that needs a gateway as slow as a real one sets its own.
        IBSIM_ARGS=SIM_ARGS,
    )
    return environ


# A yfinance whose history() says "downloading" on stderr, then does what the test tells it.
DOING_YFINANCE = """\
import logging, sys, threading, types
config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
class Ticker:
    def __init__(self, symbol):
        pass
    def history(self, **kwargs):
        print("downloading", file=sys.stderr, flush=True)
{body}
"""


@pytest.fixture
def yfinance_doing(runner_env, tmp_path):
    """yfinance_doing(code): runner subprocesses get a yfinance whose downloads run `code` (an
    indented block of Ticker.history) instead of the stand-in's synthetic bars."""

    def install(code: str) -> None:
        (tmp_path / "stub" / "yfinance" / "__init__.py").write_text(DOING_YFINANCE.format(body=code))

    return install


@pytest.fixture
def cli(runner_env, tmp_path):
    """run(*args, stdin="", env={}, stdout=PIPE) -> CompletedProcess of `python -m quorvane *args`."""

    def run(
        *args: str, stdin: str = "", env: dict | None = None, stdout=subprocess.PIPE
    ) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", "quorvane", *args],
            input=stdin,
            stdout=stdout,
            stderr=subprocess.PIPE,
            text=True,
            env={**runner_env, **(env or {})},
            cwd=tmp_path,
            timeout=RUN_TIMEOUT,
        )

    return run


@pytest.fixture
def terminal(runner_env, tmp_path):
    """spawn(*args) -> `python -m quorvane *args` on a pseudo-terminal (pexpect), closed after the test."""
    import pexpect

    children = []

    def spawn(*args: str):
        child = pexpect.spawn(
            sys.executable,
            ["-m", "quorvane", *args],
            env={**runner_env, "TERM": "xterm-256color", "PROMPT_TOOLKIT_NO_CPR": "1"},
            cwd=str(tmp_path),
            encoding="utf-8",
            timeout=RUN_TIMEOUT,
            dimensions=(40, 120),
        )
        children.append(child)
        return child

    yield spawn
    for child in children:
        child.close(force=True)


@pytest.fixture
def fresh_cache(extension, monkeypatch):
    monkeypatch.setattr(extension, "_kline_cache", None)
