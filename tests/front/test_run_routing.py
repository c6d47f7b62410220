"""`run`: the choice of source and mode, the fallback on every gateway failure,
and what it hands to its callees."""

import asyncio

import pytest
from ib_async import ContFuture, Contract, Stock

from quorvane.cmds import base
from quorvane.helpers import Future
from support.front_doubles import Recorder, State, make_command

STOCK = Stock("AAPL", "SMART", "USD")
FOUND = ("AAPL", STOCK)
YF = {"symbol": "AAPL", "bars": [], "source": "yfinance"}
YF_ERROR = {"error": "No data returned", "symbol": "AAPL"}
NO_GATEWAY = "INFO|[AAPL] No gateway, using yfinance fallback"
NOT_FOUND = "ERROR|Symbol not found: AAPL"


def failed(text):
    return f"WARNING|[AAPL] IBKR failed ({text}), falling back to yfinance"


def returned_error(text):
    return f"WARNING|[AAPL] IBKR returned error ({text}), falling back to yfinance"


def row(id, connected, resolution, outcomes, calls, logged, expected):
    return pytest.param(connected, resolution, outcomes, calls, logged, expected, id=id)


FALLBACK_DOWN, PACING, INTERRUPT = KeyError("yf down"), RuntimeError("pacing violation"), KeyboardInterrupt()
CANCELLED = asyncio.CancelledError()
FAILURES = [
    row("no gateway", False, None, {"_run_yfinance": YF}, ["_run_yfinance"], [NO_GATEWAY], YF),
    row(
        "no gateway, fallback raises",
        False,
        None,
        {"_run_yfinance": FALLBACK_DOWN},
        ["_run_yfinance"],
        [NO_GATEWAY],
        FALLBACK_DOWN,
    ),
    row("symbol not found (empty)", True, ("", STOCK), {"_run_yfinance": YF}, ["_run_yfinance"], [NOT_FOUND], YF),
    row("symbol not found (None)", True, (None, None), {"_run_yfinance": YF}, ["_run_yfinance"], [NOT_FOUND], YF),
    row(
        "symbol not found, fallback raises, second fallback",
        True,
        ("", STOCK),
        {"_run_yfinance": [ValueError("yf down"), YF]},
        ["_run_yfinance", "_run_yfinance"],
        [NOT_FOUND, failed("yf down")],
        YF,
    ),
    row(
        "resolution raises",
        True,
        ConnectionError("socket closed"),
        {"_run_yfinance": YF},
        ["_run_yfinance"],
        [failed("socket closed")],
        YF,
    ),
    row(
        "resolution gives one item",
        True,
        ("AAPL",),
        {"_run_yfinance": YF},
        ["_run_yfinance"],
        [failed("not enough values to unpack (expected 2, got 1)")],
        YF,
    ),
    row(
        "resolution gives three items",
        True,
        ("AAPL", STOCK, 1),
        {"_run_yfinance": YF},
        ["_run_yfinance"],
        [failed("too many values to unpack (expected 2)")],
        YF,
    ),
    row(
        "resolution gives no contract", True, ("AAPL", None), {"_run_yfinance": YF}, ["_run_yfinance"], [failed("")], YF
    ),
    row(
        "gateway raises",
        True,
        FOUND,
        {"_kline": PACING, "_run_yfinance": YF},
        ["_kline", "_run_yfinance"],
        [failed("pacing violation")],
        YF,
    ),
    row(
        "gateway returns empty record",
        True,
        FOUND,
        {"_kline": {}, "_run_yfinance": YF},
        ["_kline", "_run_yfinance"],
        [returned_error(None)],
        YF,
    ),
    row(
        "gateway returns error record",
        True,
        FOUND,
        {"_kline": {"error": "No data returned"}, "_run_yfinance": YF},
        ["_kline", "_run_yfinance"],
        [returned_error("No data returned")],
        YF,
    ),
    row(
        "fallback error record returned unchanged",
        True,
        FOUND,
        {"_kline": PACING, "_run_yfinance": YF_ERROR},
        ["_kline", "_run_yfinance"],
        [failed("pacing violation")],
        YF_ERROR,
    ),
    row(
        "fallback after gateway failure raises",
        True,
        FOUND,
        {"_kline": PACING, "_run_yfinance": FALLBACK_DOWN},
        ["_kline", "_run_yfinance"],
        [failed("pacing violation")],
        FALLBACK_DOWN,
    ),
    row("gateway cancelled: no fallback", True, FOUND, {"_kline": CANCELLED}, ["_kline"], [], CANCELLED),
    row("resolution interrupted: no fallback", True, INTERRUPT, {}, [], [], INTERRUPT),
]


@pytest.mark.parametrize("connected, resolution, outcomes, calls, logged, expected", FAILURES)
async def test_failure_table(log_lines, connected, resolution, outcomes, calls, logged, expected):
    cmd = make_command(rest=["5m"], state=State(connected, resolution), **outcomes)
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as raised:
            await cmd.run()
        assert raised.value is expected
    else:
        assert await cmd.run() is expected
    assert [name for name, _, _ in cmd.calls] == calls
    assert all(args[-1] is cmd.rest for _, args, _ in cmd.calls)  # one list object throughout
    assert log_lines == logged
    assert YF == {"symbol": "AAPL", "bars": [], "source": "yfinance"}  # fallback records untouched


@pytest.mark.parametrize("symbol", ["", None, "unset"], ids=["empty", "None", "never assigned"])
async def test_missing_symbol_does_nothing_else(log_lines, symbol):
    cmd = make_command(symbol=symbol, state=None)  # any use of the state would fail
    if symbol == "unset":
        del cmd.symbol
    assert await cmd.run() == {"error": "No symbol provided"}
    assert cmd.calls == [] and log_lines == ["ERROR|No symbol provided"]


@pytest.mark.parametrize(
    "words, callee",
    [
        ([], "_kline"),
        (["intraday"], "_intraday"),
        (["intraday", "5m", "adj"], "_intraday"),
        (["Intraday"], "_kline"),
        (["INTRADAY"], "_kline"),
        ([" intraday"], "_kline"),
        (["2025-01-01"], "_history"),
        (["2025-01-01", "100"], "_history"),
        (["today"], "_history"),
        (["yesterday"], "_history"),
        (["2025-13-45"], "_history"),
        (["Today"], "_kline"),
        (["2025-1-1"], "_kline"),
        (["5m", "200", "adj"], "_kline"),
        (["d"], "_kline"),
        (["adj"], "_kline"),
    ],
    ids=lambda value: " ".join(value) if isinstance(value, list) else value,
)
async def test_first_word_chooses_the_gateway_coroutine(words, callee):
    cmd = make_command(rest=words, state=State(True, FOUND))
    result = await cmd.run()
    expected_args = (STOCK,) if callee == "_intraday" else (STOCK, cmd.rest if words else [])
    assert cmd.calls == [(callee, expected_args, "AAPL")]
    assert result == {"served_by": callee, "symbol": "AAPL", "args": expected_args, "source": "ibkr"}


@pytest.mark.parametrize(
    "record, keys",
    [
        ({"symbol": "AAPL", "bars": []}, ["symbol", "bars", "source"]),
        ({"symbol": "AAPL", "type": "intraday", "bars": [], "source": "cache"}, ["symbol", "type", "bars", "source"]),
    ],
    ids=["fresh record", "record that names another source"],
)
async def test_gateway_success_is_marked_ibkr(record, keys):
    record = dict(record)
    cmd = make_command(state=State(True, FOUND), _kline=record)
    assert await cmd.run() is record
    assert record["source"] == "ibkr" and list(record) == keys


class WordList(list):
    pass


@pytest.mark.parametrize("connected", [False, True], ids=["no gateway", "gateway"])
@pytest.mark.parametrize("rest", [[], None, "unset"], ids=["empty list", "None", "never assigned"])
async def test_missing_words_become_a_new_empty_list(connected, rest):
    cmd = make_command(state=State(connected, FOUND))
    if rest == "unset":
        del cmd.rest
    else:
        cmd.rest = rest
    await cmd.run()
    [(_, args, _)] = cmd.calls
    assert args[-1] == [] and type(args[-1]) is list and args[-1] is not rest


@pytest.mark.parametrize("rest", [("5m",), WordList(["5m"])], ids=["tuple", "list subclass"])
async def test_words_that_are_not_exactly_a_list_are_refused(rest):
    state = State(True, FOUND)
    cmd = make_command(state=state)
    cmd.rest = rest
    with pytest.raises(TypeError):
        await cmd.run()
    assert cmd.calls == [] and state.asked == []


@pytest.mark.parametrize(
    "connected, resolution, outcomes, symbol",
    [
        (False, None, {}, "GOOG"),
        (True, ("", None), {}, "GOOG"),
        (True, ("GOOGL", STOCK), {}, "GOOGL"),
        (True, ("GOOGL", STOCK), {"_kline": PACING}, "GOOGL"),
        (True, ("GOOGL", None), {}, "GOOGL"),
    ],
    ids=["no gateway", "not found", "resolved", "resolved, gateway fails", "resolved, no contract"],
)
async def test_resolved_symbol_replaces_the_typed_one(log_lines, connected, resolution, outcomes, symbol):
    state = State(connected, resolution)
    cmd = make_command(symbol="GOOG", state=state, **outcomes)
    await cmd.run()
    assert cmd.symbol == symbol
    assert [seen for _, _, seen in cmd.calls] == [symbol] * len(cmd.calls)
    assert state.asked == (["GOOG"] if connected else [])
    assert all(f"[{symbol}]" in line for line in log_lines if line.startswith("WARNING"))


async def test_futures_go_out_as_a_continuous_futures_copy():
    host_contract = Future("ES", "202512", "CME")
    cmd = make_command(symbol="ES", state=State(True, ("ES", host_contract)))
    await cmd.run()
    [(_, (sent, _), _)] = cmd.calls
    assert sent is not host_contract and isinstance(sent, Future)
    assert (sent.secType, host_contract.secType) == ("CONTFUT", "FUT")
    assert sent.lastTradeDateOrContractMonth == "202512"
    assert sent.comboLegs is host_contract.comboLegs  # a shallow copy


@pytest.mark.parametrize(
    "contract",
    [STOCK, ContFuture("ES", exchange="CME"), Contract(secType="FUT")],
    ids=["stock", "continuous future", "plain Contract of type FUT"],
)
async def test_other_contracts_go_out_as_they_are(contract):
    cmd = make_command(state=State(True, ("AAPL", contract)))
    secType = contract.secType
    await cmd.run()
    assert cmd.calls[0][1][0] is contract and contract.secType == secType


@pytest.mark.parametrize(
    "line, expected",
    [
        ("kline aapl 5m 200 adj", {"served_by": "_run_yfinance", "symbol": "AAPL", "args": (["5m", "200", "adj"],)}),
        ("kline msft", {"served_by": "_run_yfinance", "symbol": "MSFT", "args": ([],)}),
        ("kline", {"error": "No symbol provided"}),
    ],
    ids=["symbol and words", "symbol alone", "nothing"],
)
async def test_host_binds_the_declared_arguments(monkeypatch, line, expected):
    monkeypatch.setitem(base.COMMANDS, "kline", Recorder)
    assert await base.run_command(line, state=State(connected=False)) == expected
