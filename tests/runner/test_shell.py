"""The shell at a real terminal (a pseudo-terminal), and its reconnection and completion within the process."""

import asyncio
import os
import sys

import pexpect
import pytest
from prompt_toolkit.document import Document

from ibsim import Fault
from quorvane.connection import Connection, GatewayAddress
from quorvane.prompt import ShellCompleter
from quorvane.request import execute
from quorvane.state import HostState

PROMPT = "quorvane>"  # the prompt draws its blank by moving the cursor
UP_COLOUR = "\x1b[38;5;2m"


def finished(child) -> int:
    child.expect(pexpect.EOF)
    child.close()
    return child.exitstatus


def test_a_session_at_the_terminal(terminal, tmp_path):
    shell = terminal("--sim")
    shell.expect_exact(PROMPT)
    shell.sendline("kline AAPL day 20")
    shell.expect_exact("kline AAPL: 20 bars (ibkr)")
    shell.sendline("kline aapl day 20")
    shell.expect_exact("AAPL day (20 bars) [cache]")  # the cached answer is shown too
    shell.expect_exact("kline AAPL: 20 bars (ibkr, cache)")
    shell.sendline("help kline")
    shell.expect_exact("/ES is a futures root")
    shell.sendline("kline AAPL day 30 --chart")
    shell.expect_exact(UP_COLOUR)  # a terminal gets colour
    shell.expect_exact("kline AAPL: 30 bars")
    shell.sendline("quote X")
    shell.expect_exact("Unknown command: quote")
    shell.expect_exact(PROMPT)
    shell.sendcontrol("d")
    assert finished(shell) == 0  # Ctrl-D leaves with 0, whatever the last request did
    assert "+kline aapl day 20" in (tmp_path / "history").read_text()  # kept for the next session


async def test_ctrl_c_cancels_the_request_and_the_shell_goes_on(terminal, gateway_sim):
    shell = terminal("--gateway", f"127.0.0.1:{gateway_sim.port}")
    await asyncio.to_thread(shell.expect_exact, PROMPT)
    gateway_sim.inject(Fault.delay(30))
    shell.sendline("kline AAPL day 20")
    await until(lambda: gateway_sim.history_requests)
    shell.sendintr()
    await asyncio.to_thread(shell.expect_exact, "kline AAPL day 20: cancelled")
    shell.sendline("kline AAPL day 10")
    await asyncio.to_thread(shell.expect_exact, "kline AAPL: 10 bars (ibkr)")
    shell.sendline("quit")
    assert await asyncio.to_thread(finished, shell) == 0


async def until(condition, timeout=10.0):
    async with asyncio.timeout(timeout):
        while not condition():
            await asyncio.sleep(0.02)


@pytest.fixture
async def connection(gateway_sim, fresh_cache):
    link = Connection(HostState(), GatewayAddress("127.0.0.1", gateway_sim.port))
    assert await link.connect()
    yield link
    await link.close()


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
        f"WARNING|Lost connection to gateway at 127.0.0.1:{port}; requests fall back to public data until it returns",
        f"INFO|Reconnected to gateway at 127.0.0.1:{port}",
    ]


async def test_bars_are_cached_though_stdout_closed_under_the_table(connection, extension, monkeypatch, log_lines):
    read_end, write_end = os.pipe()
    os.close(read_end)  # `| head -1` once head is done
    with os.fdopen(write_end, "w") as closed_stdout:
        monkeypatch.setattr(sys, "stdout", closed_stdout)
        assert await execute(["kline", "AAPL", "day", "20"], connection.state) == 141
    assert len(extension._kline_cache) == 1
    assert not [line for line in log_lines if line.startswith(("WARNING", "ERROR"))]  # no gateway failure, no fallback


@pytest.mark.parametrize(
    "typed, expected",
    [
        ("", {"kline", "help", "status", "quit", "exit"}),
        ("kl", {"kline"}),
        ("help k", {"kline"}),
        ("kline AAPL 5", {"5m"}),
        ("kline AAPL 1", {"1m", "15m", "1h", "1d", "1mo"}),
        ("kline AAPL day 20 a", {"adj"}),
        ("kline AAPL day 20 --c", {"--chart", "--chart-file", "--csv"}),
        ("kline AA", set()),
    ],
    ids=[
        "commands",
        "command-prefix",
        "help-topic",
        "period",
        "periods-by-prefix",
        "adjust-word",
        "output-options",
        "no-guessing-symbols",
    ],
)
def test_completion(extension, typed, expected):
    found = {c.text for c in ShellCompleter().get_completions(Document(typed), None)}
    assert found == expected
