"""The world around the public-data fallback: a fresh bar cache per test, captured log lines and
printed tables, and command objects without a gateway."""

import pytest

from fixtures.yf import REFERENCE_TIME
from quorvane.cmds.quotes import kline
from quorvane.state import HostState


@pytest.fixture(autouse=True)
def fresh_cache(monkeypatch):
    monkeypatch.setattr(kline, "_kline_cache", None)


@pytest.fixture
def printed(monkeypatch):
    """(frame, title) of every printFrame call."""
    calls = []
    monkeypatch.setattr(kline, "printFrame", lambda frame, title: calls.append((frame, title)))
    return calls


@pytest.fixture
def market(fake_yf):
    """The stand-in yfinance with its market clock at REFERENCE_TIME."""
    fake_yf.now = REFERENCE_TIME
    return fake_yf


@pytest.fixture
def command():
    """A kline command object as the host builds it, with no gateway connected."""

    def make(rest=(), symbol="AAPL"):
        obj = kline.IOpKline(state=HostState(), ib=None)
        obj.symbol, obj.rest = symbol, list(rest)
        return obj

    return make
