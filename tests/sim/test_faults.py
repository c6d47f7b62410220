"""Injected faults as the real ib_async client meets them."""

import asyncio

import pytest
from ib_async import IB, Stock

from ibsim import Fault

AAPL = Stock("AAPL", "SMART", "USD")


@pytest.fixture
def errors(ib):
    seen = []
    ib.errorEvent += lambda req_id, code, text, contract: seen.append((req_id, code, text))
    return seen


async def history(ib, timeout=5.0):
    return list(await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "1 min", "TRADES", True, timeout=timeout))


@pytest.mark.parametrize(
    "fault, code, text",
    [
        (Fault.empty(), None, None),
        (Fault.error(162, "Historical Market Data Service error message:boom"), 162, "boom"),
        (Fault.pacing_violation(), 162, "Historical data request pacing violation"),
        (Fault.no_data(), 162, "HMDS query returned no data: AAPL@SMART Trades"),
    ],
    ids=["empty-answer", "error", "pacing-violation", "no-data"],
)
async def test_fault_yields_no_bars_and_is_used_once(ib, gateway_sim, errors, fault, code, text):
    gateway_sim.inject(fault)
    assert await history(ib) == []
    if code is None:
        assert errors == []
    else:
        [(_, got_code, got_text)] = errors
        assert got_code == code and got_text.endswith(text)
    assert await history(ib)  # the next request is served normally
    assert gateway_sim.cancel_requests == []


async def test_faults_apply_first_in_first_out(ib, gateway_sim, errors):
    gateway_sim.inject(Fault.empty())
    gateway_sim.inject(Fault.pacing_violation())
    assert await history(ib) == [] and errors == []
    assert await history(ib) == [] and len(errors) == 1


async def test_delay_past_the_timeout_is_cancelled_politely(ib, gateway_sim, errors):
    gateway_sim.inject(Fault.delay(1.0))
    assert await history(ib, timeout=0.1) == []
    await asyncio.sleep(0.05)
    [cancel] = gateway_sim.cancel_requests
    assert cancel.reqId == gateway_sim.history_requests[-1].reqId
    assert any("API historical data query cancelled" in text for _, _, text in errors)
    assert await history(ib)  # the session carries on


async def test_short_delay_still_answers(ib, gateway_sim):
    gateway_sim.inject(Fault.delay(0.05))
    assert await history(ib)


async def test_cancel_of_unknown_query_gets_366(ib, gateway_sim, errors):
    ib.client.cancelHistoricalData(9999)
    assert await asyncio.wait_for(ib.reqCurrentTimeAsync(), 2)
    assert (9999, 366, "No historical data query found for ticker id:9999") in errors


async def test_drop_raises_connection_error_and_server_stays_up(ib, gateway_sim):
    gateway_sim.inject(Fault.drop())
    with pytest.raises(ConnectionError):
        await history(ib)
    assert not ib.isConnected()
    fresh = IB()
    await fresh.connectAsync("127.0.0.1", gateway_sim.port, clientId=3, timeout=2)
    assert await history(fresh)
    fresh.disconnect()


def test_inject_refuses_non_faults_and_negative_delays(gateway_sim):
    with pytest.raises(TypeError):
        gateway_sim.inject("drop")
    with pytest.raises(ValueError):
        Fault.delay(-1)
