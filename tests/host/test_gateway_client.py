"""The host's gateway client against the simulator: refusals, timeouts and cancellation."""

import asyncio
import logging
from functools import partial

import pytest
from ib_async import Stock

from ibsim import Fault
from quorvane.gateway.client import GatewayClient
from quorvane.gateway.pacing import Pacer, Unlimited
from quorvane.state import HostState

AAPL = Stock("AAPL", "SMART", "USD", conId=265598)
REFUSAL = (
    "Error validating request.-'bP' : cause - "
    "Historical data requests for durations longer than 365 days must be made in years."
)


@pytest.fixture
def client_class():
    """The host's own client; the simulator here keeps no pacing, so neither does the client."""
    return partial(GatewayClient, pacer=Pacer(Unlimited()))


@pytest.fixture
def client(ib):
    return ib


def request(client, timeout=60):
    return client.reqHistoricalDataAsync(AAPL, "", "1 D", "1 min", "TRADES", True, timeout=timeout)


async def until_cancel_reaches(sim):
    while not sim.cancel_requests:
        await asyncio.sleep(0.01)


async def test_answer_comes_back_as_ib_async_gives_it(client):
    bars = await asyncio.wait_for(request(client), 5)
    assert len(bars) > 0 and bars.barSizeSetting == "1 min"


async def test_warning_class_refusal_ends_the_request_at_once(client, gateway_sim, log_lines):
    gateway_sim.inject(Fault.error(321, REFUSAL))
    bars = await asyncio.wait_for(request(client), 5)  # not the 60 s ib_async would wait
    assert list(bars) == []
    assert log_lines == [f"WARNING|[AAPL] gateway refused the request: {REFUSAL}"]


async def test_timeout_gives_an_empty_answer_and_cancels_at_the_gateway(client, gateway_sim, log_lines):
    gateway_sim.inject(Fault.delay(30))
    bars = await asyncio.wait_for(request(client, timeout=0.2), 5)
    assert list(bars) == []
    await asyncio.wait_for(until_cancel_reaches(gateway_sim), 5)
    assert log_lines == ["WARNING|Gateway gave no answer in 0.2 s for 1 min bars of AAPL"]


async def test_cancellation_reaches_the_gateway_and_logs_nothing(client, gateway_sim, log_lines, caplog):
    gateway_sim.inject(Fault.delay(30))
    task = asyncio.create_task(request(client))
    while not gateway_sim.history_requests:
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await asyncio.wait_for(until_cancel_reaches(gateway_sim), 5)
    await asyncio.sleep(0.1)  # the gateway's reply to the cancel arrives and is not an error
    assert log_lines == []
    assert [r for r in caplog.records if r.levelno >= logging.WARNING] == []
    assert await asyncio.wait_for(request(client), 5)  # the connection serves on


class CancelAsAnswersLand:
    """Cancels `task` a number of event-loop turns after each of the client's request futures completes."""

    def __init__(self, client, monkeypatch, turns: int) -> None:
        self.task: asyncio.Task | None = None
        self.delivered = False  # a cancel found the task unfinished
        start_request = client.wrapper.startReq

        def start_and_watch(*args, **kwargs):
            future = start_request(*args, **kwargs)
            future.add_done_callback(lambda _: self._cancel_after(turns))
            return future

        monkeypatch.setattr(client.wrapper, "startReq", start_and_watch)

    def _cancel_after(self, turns: int) -> None:
        if turns:
            asyncio.get_running_loop().call_soon(self._cancel_after, turns - 1)
        else:
            self.delivered |= self.task.cancel()


@pytest.mark.parametrize(
    "ask",
    [
        pytest.param(lambda client: HostState(client).positionalQuoteRepopulate("AAPL"), id="symbol resolution"),
        pytest.param(request, id="historical bars"),
    ],
)
@pytest.mark.parametrize("turns", range(5))
async def test_a_cancel_that_arrives_as_the_answer_lands_is_not_lost(client, monkeypatch, ask, turns):
    # asyncio.wait_for on Python 3.11 can return the answer at these moments and drop the cancellation.
    cancel = CancelAsAnswersLand(client, monkeypatch, turns)
    cancel.task = asyncio.create_task(ask(client))
    await asyncio.wait([cancel.task], timeout=5)
    assert cancel.task.cancelled() == cancel.delivered


async def test_a_request_made_while_an_identical_one_is_withdrawn_gets_its_own_answer(client, gateway_sim):
    gateway_sim.inject(Fault.delay(30))
    first = asyncio.create_task(request(client))
    while not gateway_sim.history_requests:
        await asyncio.sleep(0.01)
    first.cancel()
    await asyncio.sleep(0)  # the first caller gives up: its request is being withdrawn, not yet gone
    assert len(await asyncio.wait_for(request(client), 5)) > 0  # not the withdrawn request's cancellation
    assert first.cancelled()
