"""The runner as a user meets it: `python -m quorvane` in a subprocess, and the shell in-process."""

import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RUN_TIMEOUT = 60  # seconds; a run against the simulator takes about one
# Installed as `yfinance` in every subprocess, so a fallback never reaches the network.
YFINANCE_STUB = """\
import sys
from fixtures.yf import FakeYfinance
sys.modules[__name__] = FakeYfinance()
"""


@pytest.fixture(scope="session")
def extension():
    """The kline module, imported (so rebuilt if needed) once before any subprocess imports it."""
    import quorvane.cmds.quotes.kline as kline

    return kline


@pytest.fixture
def cli(extension, tmp_path):
    """run(*args, stdin="", env={}) -> CompletedProcess of `python -m quorvane *args`."""
    stub = tmp_path / "stub" / "yfinance"
    stub.mkdir(parents=True)
    (stub / "__init__.py").write_text(YFINANCE_STUB)

    def run(*args: str, stdin: str = "", env: dict | None = None) -> subprocess.CompletedProcess:
        environ = {k: v for k, v in os.environ.items() if k != "QUORVANE_GATEWAY"}
        environ.update(
            PYTHONPATH=os.pathsep.join([str(stub.parent), str(ROOT / "tests"), str(ROOT)]),
            QUORVANE_HISTORY=str(tmp_path / "history"),
            **(env or {}),
        )
        return subprocess.run(
            [sys.executable, "-m", "quorvane", *args], input=stdin, capture_output=True, text=True,
            env=environ, cwd=tmp_path, timeout=RUN_TIMEOUT,
        )  # fmt: skip

    return run


@pytest.fixture
def closed_port() -> int:
    """A loopback port nobody listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def fresh_cache(extension, monkeypatch):
    monkeypatch.setattr(extension, "_kline_cache", None)
