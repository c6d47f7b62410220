"""The typed symbol reaches the gateway in its notation and comes back as typed."""

import pytest

from support.gateway_terminal import RecordedFallback


@pytest.mark.parametrize(
    "typed, contract",
    [
        ("AAPL", ("STK", "AAPL", "SMART")),
        ("BRK.B", ("STK", "BRK B", "SMART")),
        ("/ES", ("CONTFUT", "ES", "CME")),
        ("^GSPC", ("IND", "SPX", "CBOE")),
        ("^NDX", ("IND", "NDX", "NASDAQ")),
        ("^DJI", ("IND", "INDU", "CME")),
        ("^RUT", ("IND", "RUT", "RUSSELL")),
        ("^VIX", ("IND", "VIX", "CBOE")),
    ],
    ids=["stock", "class-share", "future-root", "sp500", "nasdaq100", "dow", "russell2000", "vix"],
)
async def test_gateway_is_asked_in_its_notation_and_answers_under_the_typed_one(terminal, typed, contract):
    result = await terminal.run(f"{typed} day 5", RecordedFallback)
    (request,) = terminal.requests
    assert (request.contract.secType, request.contract.symbol, request.contract.exchange) == contract
    assert (result["symbol"], result["source"], len(result["bars"])) == (typed, "ibkr", 5)
    assert terminal.titles == [f"{typed} day (5 bars)"]
    assert terminal.logs[0].startswith(f"INFO|[{typed}] kline:")
    assert terminal.cached("count_key", typed, "day", "none", 5) is result["bars"]


async def test_an_index_the_table_does_not_know_goes_to_public_data_as_typed(terminal):
    result = await terminal.run("^FOO day 5", RecordedFallback)
    assert terminal.requests == [] and result == {"fallback": True, "symbol": "^FOO"}
