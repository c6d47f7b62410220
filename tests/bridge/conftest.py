# The bridge seen through the command's thinnest pass-through coroutine:
# `_run_yfinance(rest)` logs one line, then awaits `self._kline_yfinance(rest)`
# (or `self._intraday_yfinance()` for "intraday"), looked up on the object. An
# instance attribute supplies that inner Python coroutine.
import types

import pytest

import quorvane.cmds.quotes.kline as kline


@pytest.fixture(autouse=True)
def log_calls(monkeypatch):
    """The module's logger, replaced by a recorder so nothing is printed."""
    calls = []
    record = lambda level: lambda *args: calls.append((level, *args))  # noqa: E731
    stand_in = types.SimpleNamespace(info=record("info"), warning=record("warning"), error=record("error"))
    monkeypatch.setattr(kline, "logger", stand_in)
    return calls


@pytest.fixture
def command():
    """A command object whose fallback is never connected; tests give it inner coroutines."""
    obj = kline.IOpKline(state=types.SimpleNamespace(connected=False))
    obj.symbol = "PROBE"
    obj.rest = []
    return obj
