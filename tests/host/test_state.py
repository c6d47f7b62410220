import copy
from datetime import date

import pytest
from ib_async import Contract, Future, Stock
from ib_async.wrapper import RequestError

from quorvane.state import HostState


class StubIB:
    """Answers qualifyContractsAsync the way ib_async does, from `answer(contract)`."""

    def __init__(self, answer, connected=True):
        self.answer, self._connected, self.asked = answer, connected, []

    def isConnected(self):
        return self._connected

    async def qualifyContractsAsync(self, *contracts, returnAll=False):
        self.asked.extend(copy.copy(c) for c in contracts)  # as sent, before qualifying fills them
        return [self.answer(c) for c in contracts]


def qualify(contract):
    contract.conId = 42
    return contract


def months(contract):
    return [
        Contract(secType="FUT", symbol=contract.symbol, lastTradeDateOrContractMonth=m, conId=int(m))
        for m in ("20260918", "20260320", "20260618")
    ]


def refuse(contract):
    raise RequestError(1, 200, "No security definition has been found for the request")


@pytest.mark.parametrize(
    "typed, answer, resolved, asked",
    [
        ("AAPL", qualify, "AAPL", Stock("AAPL", "SMART", "USD")),
        ("/ES", qualify, "/ES", Future(symbol="ES", exchange="CME", currency="USD")),
        ("NOPE", lambda c: None, "", Stock("NOPE", "SMART", "USD")),
        ("NOPE", refuse, "", Stock("NOPE", "SMART", "USD")),
    ],
    ids=["stock", "future-keeps-slash", "unknown-symbol", "request-error"],
)
async def test_resolution(typed, answer, resolved, asked):
    ib = StubIB(answer)
    symbol, contract = await HostState(ib).positionalQuoteRepopulate(typed)
    assert symbol == resolved and ib.asked == [asked]
    assert (contract.conId == 42) if resolved else contract is None
    assert isinstance(contract, Future) == typed.startswith("/")


async def test_ambiguous_future_takes_front_month_and_stays_a_future():
    symbol, contract = await HostState(StubIB(months)).positionalQuoteRepopulate("/MES")
    assert symbol == "/MES" and type(contract) is Future
    assert (contract.lastTradeDateOrContractMonth, contract.conId) == ("20260320", 20260320)


@pytest.mark.parametrize("typed", ["/", "\udcff", "AA\x00PL"], ids=["bare-slash", "undecodable-byte", "nul"])
async def test_not_a_symbol_is_not_asked(typed):
    # The wire is NUL-separated UTF-8; a symbol ib_async cannot encode would stall in its send queue.
    ib = StubIB(qualify)
    assert await HostState(ib).positionalQuoteRepopulate(typed) == ("", None)
    assert ib.asked == []


@pytest.mark.parametrize(
    "ib, connected",
    [(None, False), (StubIB(qualify, connected=False), False), (StubIB(qualify), True)],
    ids=["no-ib", "ib-down", "ib-up"],
)
async def test_connected_flag_and_refusal_while_down(ib, connected):
    state = HostState(ib)
    assert state.connected is connected
    if not connected:
        with pytest.raises(ConnectionError):
            await state.positionalQuoteRepopulate("AAPL")


def expiring(contract):
    contract.conId, contract.lastTradeDateOrContractMonth = 7, "20260320"
    return contract


@pytest.mark.parametrize(
    "typed, answer, seconds_later, today, asked_again",
    [
        ("AAPL", qualify, 30 * 86400, date(2026, 4, 20), False),
        ("NOPE", lambda c: None, 59, date(2026, 3, 20), False),
        ("NOPE", lambda c: None, 60, date(2026, 3, 20), True),
        ("/ES", expiring, 30 * 86400, date(2026, 3, 20), False),
        ("/ES", expiring, 0, date(2026, 3, 21), True),
    ],
    ids=[
        "stock-for-the-session",
        "unknown-within-a-minute",
        "unknown-after-a-minute",
        "future-through-its-last-day",
        "future-after-its-last-day",
    ],
)
async def test_resolutions_are_remembered(typed, answer, seconds_later, today, asked_again):
    ib, now = StubIB(answer), [1000.0]
    state = HostState(ib)
    state.clock, state.today = (lambda: now[0]), (lambda: date(2026, 3, 20))
    first = await state.positionalQuoteRepopulate(typed)
    now[0] += seconds_later
    state.today = lambda: today
    assert await state.positionalQuoteRepopulate(typed) == first
    assert len(ib.asked) == (2 if asked_again else 1)
