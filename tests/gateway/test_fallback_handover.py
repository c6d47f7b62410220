"""`run` over the gateway: contract resolution, and the hand-over to the fallback on each failure."""

import pytest
from ib_async import Future

from ibsim import Fault, codes
from support.gateway_terminal import FRIDAY_AFTER_CLOSE, RecordedFallback, sent, until

REQUEST_ERROR = "IBKR returned error ({}), falling back to yfinance"


async def test_futures_are_requested_as_continuous_futures_on_a_copy(terminal, monkeypatch):
    resolutions = []
    resolve = terminal.state.positionalQuoteRepopulate

    async def keep(symbol):
        resolutions.append(await resolve(symbol))
        return resolutions[-1]

    monkeypatch.setattr(terminal.state, "positionalQuoteRepopulate", keep)
    result = await terminal.run("/ES day 20")
    [(symbol, contract)] = resolutions
    assert (symbol, type(contract), contract.secType) == ("/ES", Future, "FUT")  # the host's, untouched
    [request] = terminal.requests
    assert sent(request)[:3] == ("CONTFUT", "ES", "")
    assert request.contract.conId == contract.conId
    assert (result["symbol"], result["source"], terminal.titles) == ("/ES", "ibkr", ["/ES day (20 bars)"])


async def test_unknown_symbol_goes_to_the_fallback_as_typed(terminal):
    await terminal.run("XYZ day 5", RecordedFallback)
    assert terminal.logs == ["ERROR|Symbol not found: XYZ"]
    assert terminal.requests == []
    assert terminal.last.fallbacks == [("XYZ", ["day", "5"])]


@pytest.mark.parametrize(
    "words, logged, error",
    [
        ("day 100", "[AAPL] No data returned", "No data returned"),
        ("2025-01-01 2025-06-01", "[AAPL] No data in range 2025-01-01 → 2025-06-01", "No data in range"),
        ("intraday", "[AAPL] No intraday data", "No intraday data"),
    ],
    ids=["latest-candles", "date-range", "intraday"],
)
async def test_empty_answer_falls_back_and_stores_nothing(terminal, words, logged, error):
    terminal.sim.inject(Fault.empty())
    await terminal.run(f"AAPL {words}", RecordedFallback)
    assert terminal.logs[1:] == [f"ERROR|{logged}", f"WARNING|[AAPL] {REQUEST_ERROR.format(error)}"]
    assert terminal.prints == []
    assert terminal.last.fallbacks == [("AAPL", terminal.last.rest)]
    again = await terminal.run(f"AAPL {words}")  # nothing was cached: the gateway is asked again
    assert len(terminal.requests) == 2 and again["source"] == "ibkr"


def shorten_request_timeout(monkeypatch, ib, seconds: float) -> None:
    """The module waits 60 s for bars; let the real client give up sooner."""
    request = ib.reqHistoricalDataAsync

    async def sooner(*args, timeout, **kwargs):
        assert timeout == 60
        return await request(*args, timeout=seconds, **kwargs)

    monkeypatch.setattr(ib, "reqHistoricalDataAsync", sooner)


NO_DATA = ["ERROR|[AAPL] No data returned", f"WARNING|[AAPL] {REQUEST_ERROR.format('No data returned')}"]
REFUSAL = "Error validating request.-'bP' : cause - Historical data bar size setting is invalid."


@pytest.mark.parametrize(
    "fault, raise_errors, timeout, lines",
    [
        (Fault.no_data(), False, None, NO_DATA),
        (
            Fault.error(162, codes.hmds("Trading TWS session is connected from a different IP address")),
            True,
            None,
            [
                "WARNING|[AAPL] IBKR failed ([reqId {req}] API error: 162: "
                f"{codes.hmds('Trading TWS session is connected from a different IP address')}), "
                "falling back to yfinance"
            ],
        ),
        # ib_async takes 321 for a warning and would wait out its timeout; the host ends the request.
        (Fault.error(321, REFUSAL), False, None, [f"WARNING|[AAPL] gateway refused the request: {REFUSAL}", *NO_DATA]),
        (Fault.delay(5), False, 0.2, ["WARNING|Gateway gave no answer in 0.2 s for 1 day bars of AAPL", *NO_DATA]),
        (Fault.drop(), False, None, ["WARNING|[AAPL] IBKR failed (Socket disconnect), falling back to yfinance"]),
    ],
    ids=[
        "error-162-ends-request-empty",
        "request-error-raised",
        "warning-class-refusal-321",
        "delay-past-timeout",
        "connection-dropped-mid-request",
    ],
)
async def test_gateway_fault_hands_the_words_to_the_fallback(
    terminal, ib, monkeypatch, fault, raise_errors, timeout, lines
):
    monkeypatch.setattr(ib, "RaiseRequestErrors", raise_errors)
    if timeout:
        shorten_request_timeout(monkeypatch, ib, timeout)
    terminal.sim.inject(fault)
    await terminal.run("AAPL day 100", RecordedFallback)
    [request] = terminal.requests
    assert terminal.logs[1:] == [line.format(req=request.reqId) for line in lines]
    assert terminal.last.fallbacks == [("AAPL", terminal.last.rest)]
    assert terminal.last.fallbacks[0][1] is terminal.last.rest  # the same word list, handed on
    assert terminal.prints == [] and terminal.cached("count_key", "AAPL", "day", "none", 100) is None
    if timeout:  # the client withdrew the request it gave up on
        await until(lambda: terminal.sim.cancel_requests)
        assert [c.reqId for c in terminal.sim.cancel_requests] == [request.reqId]


@pytest.mark.parametrize(
    "line, asked, download, title",
    [
        (
            "AAPL 5m 200 adj",
            "AAPL",
            {"period": "5d", "interval": "5m", "auto_adjust": True},
            "AAPL 5m (200 bars) [yfinance]",
        ),
        ("/ES intraday", "ES=F", {"period": "1d", "interval": "1m", "auto_adjust": False}, "/ES Intraday [yfinance]"),
    ],
    ids=["latest-candles", "futures-intraday-keeps-resolved-symbol"],
)
async def test_dropped_connection_is_served_by_the_real_fallback(terminal, fake_yf, line, asked, download, title):
    fake_yf.now = FRIDAY_AFTER_CLOSE
    terminal.sim.inject(Fault.drop())
    result = await terminal.run(line)
    symbol, *rest = line.split()
    assert [(call.symbol, call.kwargs) for call in fake_yf.calls] == [(asked, download)]
    assert f"WARNING|[{symbol}] IBKR failed (Socket disconnect), falling back to yfinance" in terminal.logs
    assert f"INFO|[{symbol}] yfinance fallback: rest={rest}" in terminal.logs
    assert (terminal.titles, result["symbol"], result["source"]) == ([title], symbol, "yfinance")
    assert not terminal.state.connected
