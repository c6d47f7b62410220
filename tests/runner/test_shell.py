"""The shell driven through prompt_toolkit's pipe input, in this process, against the simulator."""

import asyncio
import json
import signal
from contextlib import asynccontextmanager

import pytest
from prompt_toolkit.application import create_app_session
from prompt_toolkit.document import Document
from prompt_toolkit.history import FileHistory
from prompt_toolkit.input import create_pipe_input
from prompt_toolkit.output import DummyOutput

from ibsim import Fault
from quorvane.connection import Connection, GatewayAddress
from quorvane.runner import execute
from quorvane.shell import Shell, ShellCompleter
from quorvane.state import HostState

SESSION_TIMEOUT = 10


@pytest.fixture
async def connection(gateway_sim, fresh_cache):
    link = Connection(HostState(), GatewayAddress("127.0.0.1", gateway_sim.port))
    assert await link.connect()
    yield link
    await link.close()


@asynccontextmanager
async def shell_on_pipe(connection, tmp_path):
    """(pipe, task): a shell reading what the test types into the pipe."""
    with create_pipe_input() as pipe, create_app_session(input=pipe, output=DummyOutput()):
        shell = Shell(connection, history=FileHistory(str(tmp_path / "history")))
        yield pipe, asyncio.create_task(shell.run())


async def until(condition, timeout=5.0):
    async with asyncio.timeout(timeout):
        while not condition():
            await asyncio.sleep(0.02)


async def test_repeated_request_is_a_cache_hit(connection, gateway_sim, capsys, tmp_path):
    async with shell_on_pipe(connection, tmp_path) as (pipe, session):
        pipe.send_text("kline AAPL day 20\nkline aapl day 20\n\x04")
        assert await asyncio.wait_for(session, SESSION_TIMEOUT) == 0
    out = capsys.readouterr().out.splitlines()
    assert "kline AAPL: 20 bars (ibkr)" in out and "kline AAPL: 20 bars (ibkr, cache)" in out
    assert len(gateway_sim.history_requests) == 1
    assert "AAPL day (20 bars) [cache]" in out
    assert "+kline aapl day 20" in (tmp_path / "history").read_text()  # kept for the next session


async def test_ctrl_c_cancels_the_request_and_the_shell_goes_on(connection, gateway_sim, capsys, tmp_path):
    gateway_sim.inject(Fault.delay(30))
    async with shell_on_pipe(connection, tmp_path) as (pipe, session):
        pipe.send_text("kline AAPL day 20\n")
        await until(lambda: gateway_sim.history_requests)
        signal.raise_signal(signal.SIGINT)  # what the terminal sends for Ctrl-C while a request runs
        pipe.send_text("kline AAPL day 10\n\x04")
        assert await asyncio.wait_for(session, SESSION_TIMEOUT) == 0
    captured = capsys.readouterr()
    assert "kline AAPL day 20: cancelled" in captured.err
    assert "kline AAPL: 10 bars (ibkr)" in captured.out.splitlines()
    assert signal.getsignal(signal.SIGINT) is not None  # the shell put the previous handler back


async def test_help_options_and_bad_lines(connection, capsys, log_lines, extension, tmp_path):
    async with shell_on_pipe(connection, tmp_path) as (pipe, session):
        pipe.send_text('help kline\nkline AAPL day 3 --bogus\nkline "AAPL\nkline AAPL day 3 --json\nhelp no\nquit\n')
        assert await asyncio.wait_for(session, SESSION_TIMEOUT) == 0
    captured = capsys.readouterr()
    assert extension.IOpKline.__doc__.rstrip() in captured.out
    assert "ERROR|kline: unrecognized arguments: --bogus" in log_lines
    assert "ERROR|Cannot read command line: No closing quotation" in log_lines
    record = json.loads(next(line for line in captured.out.splitlines() if line.startswith("{")))
    assert record["count"] == 3 and "T" not in record["bars"][0]["date"]  # daily bars: ISO dates
    assert "Unknown command: no" in captured.out


async def test_lost_gateway_falls_back_then_reconnects(connection, gateway_sim, log_lines, fake_yf, capsys):
    connection.retry_first = 0.05
    connection.keep_connected()
    port = gateway_sim.port
    await gateway_sim.stop()
    await until(lambda: not connection.state.connected)
    assert await execute(["kline", "AAPL", "day", "5"], connection.state) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "kline AAPL: 5 bars (yfinance)"
    await gateway_sim.start("127.0.0.1", port)
    await until(lambda: connection.state.connected)
    assert [line for line in log_lines if "connect" in line.lower()] == [
        f"WARNING|Lost connection to gateway at 127.0.0.1:{port}; "
        "requests fall back to public data until it returns",
        f"INFO|Reconnected to gateway at 127.0.0.1:{port}",
    ]


@pytest.mark.parametrize(
    "typed, expected",
    [
        ("", {"kline", "help", "status", "quit", "exit"}),
        ("kl", {"kline"}),
        ("help k", {"kline"}),
        ("kline AAPL 5", {"5m"}),
        ("kline AAPL 1", {"1m", "15m", "1h", "1d", "1mo"}),
        ("kline AAPL day 20 a", {"adj"}),
        ("kline AAPL day 20 --c", {"--chart", "--chart-png", "--csv"}),
        ("kline AA", set()),
    ],
    ids=["commands", "command-prefix", "help-topic", "period", "periods-by-prefix", "adjust-word",
         "output-options", "no-guessing-symbols"],
)  # fmt: skip
def test_completion(extension, typed, expected):
    found = {c.text for c in ShellCompleter().get_completions(Document(typed), None)}
    assert found == expected
