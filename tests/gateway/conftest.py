"""Fixtures for the gateway route end to end: the module, the real ib_async client, the simulator
and the host state. Opt-in, since test_bar_table.py lives here too and needs none of them.

`terminal`: a Terminal (gateway_terminal.py) on a simulator whose clock stands on a Friday after
the close, with a fresh bar cache, printFrame recorded and log lines captured.
`client_class`: the host's own client, so every request goes through its policy.
`host_zone`: the host's local zone pinned, to New York unless a test parametrizes it
(indirectly) with another; "today" and "yesterday" are dates of the host's zone.
"""

import time
from functools import partial

import pytest
from loguru import logger

import quorvane.cmds.quotes.kline as kline
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.pacing import Pacer, Unlimited
from quorvane.state import HostState
from support.gateway_terminal import FRIDAY_AFTER_CLOSE, Terminal


@pytest.fixture
def gateway_clock():
    return FRIDAY_AFTER_CLOSE


@pytest.fixture
def client_class():
    """The host's own client; the simulator here keeps no pacing, so neither does the client."""
    return partial(GatewayClient, pacer=Pacer(Unlimited()))


@pytest.fixture
def terminal(gateway_sim, ib, monkeypatch) -> Terminal:
    term = Terminal(gateway_sim, HostState(ib))
    monkeypatch.setattr(kline, "_kline_cache", None)
    monkeypatch.setattr(kline, "printFrame", lambda frame, title: term.prints.append((frame, title)))
    sink = logger.add(lambda message: term.logs.append(message.rstrip("\n")), format="{level}|{message}")
    yield term
    logger.remove(sink)


@pytest.fixture
def host_zone(request):
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("TZ", getattr(request, "param", "America/New_York"))
        time.tzset()
        yield
    time.tzset()
