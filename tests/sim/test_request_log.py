"""The simulator's record of what the client asked, decoded field by field."""

import datetime as dt

from ib_async import ContFuture, Stock

from ibsim import HistoricalDataRequest, WireContract


async def test_history_request_fields_are_decoded_exactly(ib, gateway_sim):
    [contract] = await ib.qualifyContractsAsync(ContFuture("ES", "CME"))
    await ib.reqHistoricalDataAsync(contract, "", "2 D", "5 mins", "TRADES", False, timeout=5)
    await ib.reqHistoricalDataAsync(
        Stock("AAPL", "SMART", "USD"),
        "20250303-16:00:00",
        "350 D",
        "1 day",
        "BID_ASK",
        True,
        formatDate=2,
        timeout=5,
    )
    first, second = gateway_sim.history_requests
    assert first == HistoricalDataRequest(
        reqId=first.reqId,
        contract=WireContract(
            conId=contract.conId,
            symbol="ES",
            secType="CONTFUT",
            lastTradeDateOrContractMonth=contract.lastTradeDateOrContractMonth,
            strike=0.0,
            multiplier="50",
            exchange="CME",
            currency="USD",
            localSymbol=contract.localSymbol,
            tradingClass="ES",
        ),
        includeExpired=False,
        endDateTime="",
        barSizeSetting="5 mins",
        durationStr="2 D",
        useRTH=False,
        whatToShow="TRADES",
        formatDate=1,
        keepUpToDate=False,
        chartOptions="",
    )
    assert (second.contract.symbol, second.contract.secType, second.contract.conId) == ("AAPL", "STK", 0)
    assert (second.endDateTime, second.durationStr) == ("20250303-16:00:00", "350 D")
    assert second.barSizeSetting == "1 day"
    assert (second.whatToShow, second.useRTH, second.formatDate) == ("BID_ASK", True, 2)
    assert second.reqId == first.reqId + 1
    assert gateway_sim.requests.index(second) > gateway_sim.requests.index(first)


async def test_request_log_keeps_arrival_order(ib, gateway_sim):
    before = len(gateway_sim.requests)
    await ib.reqCurrentTimeAsync()
    end = dt.datetime(2025, 1, 2, tzinfo=dt.UTC)
    await ib.reqHistoricalDataAsync(Stock("MSFT", "SMART", "USD"), end, "1 D", "1 hour", "TRADES", True, timeout=5)
    names = [type(r).__name__ for r in gateway_sim.requests[before:]]
    assert names == ["CurrentTimeRequest", "HistoricalDataRequest"]
    assert gateway_sim.history_requests[-1].endDateTime == "20250102 00:00:00 UTC"
