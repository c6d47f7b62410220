"""Qualifying contracts through ib_async against the simulator's universe."""

import datetime as dt

import pytest
from ib_async import ContFuture, Contract, Future, Index, Stock

from ibsim import GatewaySimulator, MarketParams, StockSpec
from quorvane.state import HostState

WEDNESDAY = dt.datetime(2025, 3, 5, 15, 0, tzinfo=dt.UTC)


@pytest.fixture
def gateway_clock():
    return WEDNESDAY


@pytest.mark.parametrize(
    "contract, expected",
    [
        (
            Stock("AAPL", "SMART", "USD"),
            dict(conId=265598, primaryExchange="NASDAQ", tradingClass="NMS", exchange="SMART"),
        ),
        (Stock("SPY", "SMART", "USD"), dict(conId=756733, primaryExchange="ARCA")),
        (Stock("TSLA", "NASDAQ"), dict(conId=76792991, exchange="NASDAQ", currency="USD")),
        (Contract(conId=272093), dict(symbol="MSFT", secType="STK")),
        (
            Future("ES", "202503", "CME"),
            dict(lastTradeDateOrContractMonth="20250321", localSymbol="ESH5", multiplier="50"),
        ),
        (Future("MES", "202506", "CME"), dict(localSymbol="MESM5", lastTradeDateOrContractMonth="20250620")),
        (Future("NQ", "20250321", "CME", currency="USD"), dict(localSymbol="NQH5", multiplier="20")),
        # crude's March contract stopped trading in February: April is the front month
        (ContFuture("CL", "NYMEX"), dict(localSymbol="CLJ5", lastTradeDateOrContractMonth="20250320")),
        (ContFuture("ES", "CME"), dict(secType="CONTFUT", localSymbol="ESH5")),
        (Future(localSymbol="ESZ5", exchange="CME"), dict(symbol="ES", lastTradeDateOrContractMonth="20251219")),
        (Future("GC", "202504", "COMEX"), dict(localSymbol="GCJ5", lastTradeDateOrContractMonth="20250428")),
        (ContFuture("MGC", "COMEX"), dict(localSymbol="MGCJ5", multiplier="10")),
        (Stock("BRK B", "SMART", "USD"), dict(conId=72063691, primaryExchange="NYSE", localSymbol="BRK B")),
        (Index("SPX", "CBOE", "USD"), dict(conId=416904, secType="IND", exchange="CBOE")),
        (Index("INDU", "CME"), dict(conId=1935181, secType="IND")),
    ],
    ids=[
        "stock-smart",
        "etf-on-arca",
        "stock-on-listing-exchange",
        "by-conid",
        "future-by-month",
        "micro-future-by-month",
        "future-by-last-trade-date",
        "energy-expiry-rule",
        "continuous-future",
        "future-by-local-symbol",
        "gold-future",
        "micro-gold-continuous",
        "class-share",
        "index",
        "index-of-a-futures-exchange",
    ],
)
async def test_qualify_resolves_one_contract(ib, contract, expected):
    [qualified] = await ib.qualifyContractsAsync(contract)
    assert qualified is not None
    assert qualified.conId
    for name, value in expected.items():
        assert getattr(qualified, name) == value, name


@pytest.mark.parametrize(
    "contract",
    [
        Stock("NOPE", "SMART", "USD"),
        Stock("AAPL", "SMART", "EUR"),
        Future("ES", exchange="NYMEX"),
        Future("ES", "202412", "CME"),
        Future("ES", "202504", "CME"),
        Stock("ES", "SMART", "USD"),
        Index("SPX", "NASDAQ"),
        Stock("SPX", "SMART", "USD"),
    ],
    ids=[
        "unknown-symbol",
        "wrong-currency",
        "wrong-exchange",
        "expired-month",
        "month-not-listed",
        "future-asked-as-stock",
        "index-on-another-exchange",
        "index-asked-as-stock",
    ],
)
async def test_unresolvable_contract_qualifies_to_none(ib, contract):
    assert await ib.qualifyContractsAsync(contract) == [None]


@pytest.mark.parametrize("symbol", ["ES", "CL", "GC"])
async def test_future_without_expiry_is_every_open_month(ib, symbol):
    future = Future(symbol, exchange={"ES": "CME", "CL": "NYMEX", "GC": "COMEX"}[symbol])
    assert await ib.qualifyContractsAsync(future) == [None]  # ambiguous
    [months] = await ib.qualifyContractsAsync(future, returnAll=True)
    expiries = [m.lastTradeDateOrContractMonth for m in months]
    assert len(expiries) > 1 and expiries == sorted(expiries) and expiries[0] >= "20250305"


async def test_host_resolves_a_bare_future_to_its_front_month(ib):
    symbol, contract = await HostState(ib).positionalQuoteRepopulate("/ES")
    assert (symbol, type(contract), contract.localSymbol) == ("/ES", Future, "ESH5")
    assert contract.conId


@pytest.mark.parametrize(
    "gateway_options, last_trade, zone",
    [
        ({}, ("20250321", "09:30:00"), "US/Eastern"),
        ({"operator_zone": "Europe/Zurich"}, ("20250321", "14:30:00"), "Europe/Zurich"),
        ({"operator_zone": "Asia/Tokyo"}, ("20250321", "22:30:00"), "Asia/Tokyo"),
    ],
    ids=["default-operator", "zurich-operator", "tokyo-operator"],
)
async def test_contract_details_describe_the_future(ib, last_trade, zone):
    [details] = await ib.reqContractDetailsAsync(Future("ES", "202503", "CME"))
    # The last trade (08:30 Central) as the operator's wall time; ib_async takes its zone as timeZoneId.
    assert (details.contract.lastTradeDateOrContractMonth, details.lastTradeTime) == last_trade
    assert details.timeZoneId == zone
    assert details.contractMonth == "202503"
    assert details.minTick == 0.25
    assert details.tradingHours.startswith("20250304:1700-20250305:1600;")
    assert details.liquidHours.startswith("20250305:0830-20250305:1515;")


ACME = StockSpec("ACME", 1234, "NYSE", "ACME CORP", MarketParams(50.0, 0.3, 1e6, 100.0, 0.01, 0.0))


@pytest.mark.parametrize("gateway_options", [{"universe": [ACME]}], ids=["acme-only"])
async def test_custom_universe_replaces_the_default(ib):
    found = await ib.qualifyContractsAsync(Stock("ACME", "SMART", "USD"), Stock("AAPL", "SMART", "USD"))
    assert [c and c.conId for c in found] == [1234, None]
    bars = await ib.reqHistoricalDataAsync(found[0], "", "5 D", "1 day", "TRADES", True, timeout=5)
    assert len(bars) == 5 and 20 < bars[-1].close < 120  # Thu to Wed


def test_universe_refuses_what_is_not_an_instrument():
    with pytest.raises(TypeError):
        GatewaySimulator(universe=["AAPL"])
