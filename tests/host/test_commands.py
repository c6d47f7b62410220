from dataclasses import dataclass, field

import pytest

from mutil.dispatch import ArgumentError, DArg, bind
from quorvane.cmds.base import IOp, command, lookup, run_command


@pytest.mark.parametrize(
    "args, words, expected",
    [
        ([DArg("symbol", convert=str.upper), DArg("*rest")], ["aa", "5m"], {"symbol": "AA", "rest": ["5m"]}),
        ([DArg("symbol", convert=str.upper), DArg("*rest")], [], {"symbol": None, "rest": []}),
        ([DArg("a"), DArg("b", convert=int)], ["x"], {"a": "x", "b": None}),
        ([DArg("*all")], ["", "two words"], {"all": ["", "two words"]}),
    ],
    ids=["symbol-and-rest", "nothing-typed", "missing-word-is-none-unconverted", "greedy-keeps-words-as-typed"],
)
def test_bind(args, words, expected):
    assert bind(args, words) == expected


@pytest.mark.parametrize(
    "args, words",
    [([DArg("n", convert=int)], ["many"]), ([DArg("a")], ["x", "y"])],
    ids=["conversion-fails", "words-left-over"],
)
def test_bind_refuses_words_that_do_not_fit(args, words):
    with pytest.raises(ArgumentError):
        bind(args, words)


class Gateway:
    def __init__(self, connected):
        self.connected = connected
        self.ib = object()


@pytest.fixture
def echo(registry):
    @command(names=["echo", "e"])
    @dataclass
    class IOpEcho(IOp):
        symbol: str = field(init=False)
        rest: list = field(init=False)
        requires_gateway = False

        def argmap(self):
            return [DArg("symbol", convert=str.upper), DArg("*rest")]

        async def run(self) -> dict:
            return {"symbol": self.symbol, "rest": self.rest, "state": self.state, "ib": self.ib}

    return IOpEcho


async def test_run_command_assigns_declared_attributes(echo):
    state = Gateway(connected=False)
    record = await run_command("e aapl 'two words' adj", state=state)
    assert record == {"symbol": "AAPL", "rest": ["two words", "adj"], "state": state, "ib": state.ib}
    assert lookup("echo") is lookup("e") is echo


@pytest.mark.parametrize(
    "line, error",
    [("", "Empty command line"), ("nope AAPL", "Unknown command: nope"), ("echo 'open", "Cannot read command line")],
    ids=["empty", "unknown-command", "unbalanced-quote"],
)
async def test_run_command_refuses_lines_it_cannot_run(echo, line, error):
    assert (await run_command(line))["error"].startswith(error)


@pytest.mark.parametrize("state", [None, Gateway(connected=False)], ids=["no-state", "disconnected"])
async def test_gateway_commands_refused_while_disconnected(echo, state):
    echo.requires_gateway = True
    assert await run_command("echo AAPL", state=state) == {"error": "echo needs a connected gateway"}
    assert (await run_command("echo AAPL", state=Gateway(connected=True)))["symbol"] == "AAPL"


def test_command_names_must_be_a_list(registry):
    with pytest.raises(TypeError):
        command(names="kline")
