"""A gateway's bad days through the module and the host: one line that says why, and no wait.

Every run is bounded to a few seconds (gateway_terminal.RUN_TIMEOUT), so a request that sat out
the gateway's 60 s timeout would fail here; the simulator's request log shows what was asked.
"""

import logging

import pytest
from ib_async import ContFuture, Stock

import quorvane.state
from ibsim.messages import ContractDetailsRequest
from ibsim.scenarios import ClientIdInUse, FarmBroken, NightlyReset, NoPermissions, Scenario
from quorvane.gateway.refusals import GatewayRefusal
from quorvane.state import HostState
from support.gateway_terminal import RecordedFallback, bounded, until

NO_NASDAQ = (
    "the gateway has no market-data permission for NASDAQ stocks (IB 162): subscribe, or share the "
    "live account's data with the paper account"
)
LOST = "the gateway has lost its connection to IBKR (IB 1100), as in its nightly reset: public data until it is back"


def fallback_line(symbol: str, reason: str) -> str:
    return f"WARNING|[{symbol}] IBKR failed ({reason}), falling back to yfinance"


def warnings(terminal) -> list[str]:
    return [line for line in terminal.logs if not line.startswith(("INFO|", "DEBUG|"))]


def lookups(sim) -> int:
    return sum(isinstance(r, ContractDetailsRequest) for r in sim.requests)


COMPETING = "another session of this IBKR user holds the market data"


@pytest.mark.parametrize(
    "gateway_options, first, second",
    [
        (
            {"scenario": NoPermissions(permitted=("NYSE",))},
            NO_NASDAQ,
            "no market-data permission for NASDAQ stocks (IB 162, as earlier)",
        ),
        (
            {"scenario": "competing-session"},
            f"{COMPETING} (IB 162): log out of the other session (web, mobile or "
            "another TWS), or give the API a username of its own",
            f"{COMPETING} (IB 162, less than a minute ago)",
        ),
    ],
    ids=["no-permissions", "competing-session"],
)
async def test_a_refusal_is_one_line_and_the_next_request_is_not_sent(terminal, caplog, first, second):
    caplog.set_level(logging.INFO)
    for symbol in ("AAPL", "MSFT"):  # both NASDAQ
        assert (await terminal.run(f"{symbol} day 5", RecordedFallback))["fallback"]
    assert len(terminal.requests) == 1
    assert warnings(terminal) == [fallback_line("AAPL", first), fallback_line("MSFT", second)]
    assert "Error 162" not in caplog.text  # ib_async's own line is not shown as well


async def test_during_the_nightly_reset_requests_fall_back_at_once_until_it_is_over(terminal, gateway_sim):
    reset = gateway_sim.scenario = NightlyReset(outage=None)
    await terminal.run("AAPL day 5", RecordedFallback)  # the reset strikes as the symbol is looked up
    await terminal.run("AAPL day 5", RecordedFallback)  # known to be down: not asked again
    assert lookups(gateway_sim) == 1 and terminal.requests == []
    assert warnings(terminal) == [fallback_line("AAPL", LOST)] * 2

    reset.restore(gateway_sim)
    await until(lambda: terminal.state.ib.conditions.outage() is None)
    record = await terminal.run("AAPL day 5", RecordedFallback)  # its 200 meanwhile was not kept as unknown
    assert record["source"] == "ibkr" and len(record["bars"]) == 5
    assert any(line.startswith("INFO|The gateway's connection to IBKR is back (IB 2106)") for line in terminal.logs)


@pytest.mark.parametrize("gateway_options", [{"scenario": FarmBroken()}])
async def test_a_farm_that_breaks_mid_request_ends_it_at_once(ib, gateway_sim):
    es = ContFuture("ES", "CME", currency="USD")  # its exchange names its zone: no lookup goes first
    with pytest.raises(GatewayRefusal, match=r"farm is down \(IB 2157\): public data until it is back"):
        await bounded(ib.reqHistoricalDataAsync(es, "", "5 D", "1 day", "TRADES", True))
    await until(lambda: gateway_sim.cancel_requests)  # given up at the gateway too
    with pytest.raises(GatewayRefusal):  # and the next one is not sent
        await bounded(ib.reqHistoricalDataAsync(Stock("MSFT", "SMART", "USD"), "", "5 D", "1 day", "TRADES", True))
    assert len(gateway_sim.history_requests) == 1


class SilentLookups(Scenario):
    def intercept(self, session, request):
        return isinstance(request, ContractDetailsRequest)


async def test_a_lookup_unanswered_without_a_notice_says_so(terminal, gateway_sim, monkeypatch):
    gateway_sim.scenario = SilentLookups()
    monkeypatch.setattr(quorvane.state, "QUALIFY_TIMEOUT", 0.2)
    await terminal.run("AAPL day 5", RecordedFallback)
    assert warnings(terminal) == [fallback_line("AAPL", "the gateway did not answer the contract lookup in 0.2 s")]


@pytest.mark.parametrize(
    "taken, client, said",
    [
        ((1, 3), 2, ["WARNING|Client id 1 is in use at the gateway (IB 326): trying client id 2"]),
        (
            (1, 2, 3, 4),
            None,
            [
                "WARNING|Client id 1 is in use at the gateway (IB 326): trying client id 2",
                "WARNING|Client id 2 is in use at the gateway (IB 326): trying client id 3",
                "WARNING|Client id 3 is in use at the gateway (IB 326): trying client id 4",
                "ERROR|Cannot connect to gateway at 127.0.0.1:{port} (client ids 1 to 4 are in use (IB "
                "326)); requests fall back to public data",
            ],
        ),
    ],
    ids=["next-id", "all-taken"],
)
async def test_a_client_id_in_use_makes_it_try_the_next(gateway_sim, log_lines, taken, client, said):
    gateway_sim.scenario = ClientIdInUse(taken)
    state = HostState()
    ib = await bounded(state.connect("127.0.0.1", gateway_sim.port, 1))
    try:
        assert (ib.client.clientId if ib else None) == client
        assert [line for line in log_lines if not line.startswith("INFO|")] == [
            text.format(port=gateway_sim.port) for text in said
        ]
    finally:
        state.disconnect()
