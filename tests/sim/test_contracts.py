"""Qualifying contracts through ib_async against the simulator's universe."""

import datetime as dt

import pytest
from ib_async import Contract, ContFuture, Future, Stock

WEDNESDAY = dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.timezone.utc)


@pytest.fixture
def gateway_clock():
    return WEDNESDAY


@pytest.mark.parametrize(
    "contract, expected",
    [
        (Stock("AAPL", "SMART", "USD"),
         dict(conId=265598, primaryExchange="NASDAQ", tradingClass="NMS", exchange="SMART")),
        (Stock("SPY", "SMART", "USD"), dict(conId=756733, primaryExchange="ARCA")),
        (Stock("TSLA", "NASDAQ"), dict(conId=76792991, exchange="NASDAQ", currency="USD")),
        (Contract(conId=272093), dict(symbol="MSFT", secType="STK")),
        (Future("ES", exchange="CME"),
         dict(lastTradeDateOrContractMonth="20250321", localSymbol="ESH5", multiplier="50")),
        (Future("MES", "202506", "CME"), dict(localSymbol="MESM5", lastTradeDateOrContractMonth="20250620")),
        (Future("NQ", exchange="CME", currency="USD"), dict(localSymbol="NQH5", multiplier="20")),
        # crude's March contract stopped trading in February: April is the front month
        (Future("CL", exchange="NYMEX"), dict(localSymbol="CLJ5", lastTradeDateOrContractMonth="20250320")),
        (ContFuture("ES", "CME"), dict(secType="CONTFUT", localSymbol="ESH5")),
        (Future(localSymbol="ESZ5", exchange="CME"),
         dict(symbol="ES", lastTradeDateOrContractMonth="20251219")),
    ],
    ids=["stock-smart", "etf-on-arca", "stock-on-listing-exchange", "by-conid",
         "future-without-expiry-is-front-month", "future-by-month", "nasdaq-future",
         "energy-expiry-rule", "continuous-future", "future-by-local-symbol"],
)
async def test_qualify_resolves_one_contract(ib, contract, expected):
    [qualified] = await ib.qualifyContractsAsync(contract)
    assert qualified is not None
    assert qualified.conId
    for name, value in expected.items():
        assert getattr(qualified, name) == value, name


@pytest.mark.parametrize(
    "contract",
    [Stock("NOPE", "SMART", "USD"), Stock("AAPL", "SMART", "EUR"), Future("ES", exchange="NYMEX"),
     Future("ES", "202412", "CME"), Future("ES", "202504", "CME"), Stock("ES", "SMART", "USD")],
    ids=["unknown-symbol", "wrong-currency", "wrong-exchange", "expired-month",
         "month-not-listed", "future-asked-as-stock"],
)
async def test_unresolvable_contract_qualifies_to_none(ib, contract):
    assert await ib.qualifyContractsAsync(contract) == [None]


async def test_contract_details_describe_the_future(ib):
    [details] = await ib.reqContractDetailsAsync(Future("ES", exchange="CME"))
    assert details.timeZoneId == "US/Central"
    assert details.contractMonth == "202503"
    assert details.minTick == 0.25
    assert details.tradingHours.startswith("20250304:1700-20250305:1600;")
    assert details.liquidHours.startswith("20250305:0830-20250305:1515;")


async def test_custom_universe_replaces_the_default():
    from ib_async import IB

    from ibsim import GatewaySimulator, MarketParams, StockSpec

    acme = StockSpec("ACME", 1234, "NYSE", "ACME CORP", MarketParams(50.0, 0.3, 1e6, 100.0, 0.01, 0.0))
    sim = GatewaySimulator(universe=[acme], clock=WEDNESDAY)
    port = await sim.start()
    ib = IB()
    try:
        await ib.connectAsync("127.0.0.1", port, clientId=1, timeout=2)
        found = await ib.qualifyContractsAsync(Stock("ACME", "SMART", "USD"), Stock("AAPL", "SMART", "USD"))
        assert [c and c.conId for c in found] == [1234, None]
        bars = await ib.reqHistoricalDataAsync(found[0], "", "5 D", "1 day", "TRADES", True, timeout=5)
        assert len(bars) == 3 and 20 < bars[-1].close < 120  # Mon to Wed
    finally:
        ib.disconnect()
        await sim.stop()


def test_universe_refuses_what_is_not_an_instrument():
    from ibsim import GatewaySimulator

    with pytest.raises(TypeError):
        GatewaySimulator(universe=["AAPL"])
