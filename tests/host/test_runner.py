import socket
import sys
import types
from dataclasses import dataclass, field

import pytest

from mutil.dispatch import DArg
from quorvane import loader, runner
from quorvane.cmds.base import IOp, command
from quorvane.state import HostState


@pytest.fixture
def fake(registry, monkeypatch):
    """A `fake` command answering what the test puts in `fake.answer`."""

    @command(names=["fake"])
    @dataclass
    class IOpFake(IOp):
        symbol: str = field(init=False)
        answer = None
        usage_errors = ("Start must be before end",)

        def argmap(self):
            return [DArg("symbol", convert=str.upper)]

        async def run(self) -> dict:
            if isinstance(IOpFake.answer, Exception):
                raise IOpFake.answer
            return IOpFake.answer

    # This test module stands in for the command modules (it is already imported).
    monkeypatch.setattr(loader, "COMMAND_MODULES", (__name__,))
    IOpFake.requires_gateway = False
    return IOpFake


@pytest.mark.parametrize(
    "answer, code, line",
    [
        ({"symbol": "/ES", "bars": [{}, {}], "source": "ibkr"}, 0, "fake /ES: 2 bars (ibkr)"),
        ({"symbol": "AAPL", "bars": [], "cached": True}, 0, "fake AAPL: 0 bars (cache)"),
        ({"symbol": "AAPL", "bars": [{}], "count": 1, "requested": 3}, 0, "fake AAPL: 1 of 3 bars"),
        ({"error": "No data returned", "symbol": "AAPL"}, 1, "fake AAPL: error: No data returned"),
        ({"error": "Start must be before end"}, 2, "fake aapl: error: Start must be before end"),
        (ValueError("month must be in 1..12"), 2, "fake aapl: error: ValueError: month must be in 1..12"),
        (RuntimeError("socket gone"), 1, "fake aapl: error: RuntimeError: socket gone"),
        (None, 1, "fake aapl: error: no result record (NoneType)"),
    ],
    ids=[
        "gateway-bars",
        "cache-hit",
        "short-answer",
        "no-data",
        "bad-range-is-usage",
        "bad-words-raise",
        "command-fails",
        "no-record",
    ],
)
def test_summary_line_and_exit_code(fake, capsys, answer, code, line):
    fake.answer = answer
    assert runner.main(["fake", "aapl"]) == code
    assert capsys.readouterr().out.splitlines()[-1] == line


@pytest.mark.parametrize("module", ["no_such_module_here", "emptyfolder"], ids=["import-fails", "unbuilt-folder"])
def test_unloadable_command_module_exits_2(monkeypatch, tmp_path, capsys, module):
    (tmp_path / "emptyfolder").mkdir()
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(loader, "COMMAND_MODULES", (module,))
    assert runner.main(["kline", "AAPL"]) == 2
    assert capsys.readouterr().err.count("\n") == 1


def test_unreachable_gateway_logs_once_and_runs_disconnected(fake, capsys, log_lines):
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    fake.requires_gateway = True
    assert runner.main(["fake", "AAPL", "--gateway", f"127.0.0.1:{port}"]) == 1
    failures = [line.split("|", 1)[1] for line in log_lines if "Cannot connect" in line]
    assert len(failures) == 1 and failures[0].startswith(f"Cannot connect to gateway at 127.0.0.1:{port} (")
    out, err = capsys.readouterr()
    assert "fake needs a connected gateway" in out
    assert "API connection failed" not in err  # ib_async's own failure lines stay quiet


def test_sim_starts_connects_and_stops(fake, monkeypatch):
    seen = []

    class GatewaySimulator:
        def __init__(self, **options):
            seen.append(("options", options))

        async def start(self, host, port):
            seen.append(("start", host, port))
            return 4242

        async def stop(self):
            seen.append(("stop",))

    async def connect(self, host, port, client_id=1):
        seen.append(("connect", host, port, client_id))

    monkeypatch.setitem(sys.modules, "ibsim", types.SimpleNamespace(GatewaySimulator=GatewaySimulator))
    settings = types.SimpleNamespace(options_from_environment=lambda: {"seed": 3})  # as $IBSIM_ARGS gives them
    monkeypatch.setitem(sys.modules, "ibsim.options", settings)
    monkeypatch.setattr(HostState, "connect", connect)
    fake.answer = {"bars": []}
    assert runner.main(["--sim", "fake", "AAPL", "--client-id", "7"]) == 0
    assert seen == [("options", {"seed": 3}), ("start", "127.0.0.1", 0), ("connect", "127.0.0.1", 4242, 7), ("stop",)]


@pytest.mark.parametrize(
    "argv",
    [["--gateway", "nohost", "kline"], ["--gateway", "h:99999", "kline"], ["--sim", "--gateway", "h:1", "kline"]],
    ids=["gateway-without-port", "port-out-of-range", "sim-and-gateway"],
)
def test_bad_options_exit_2(argv):
    with pytest.raises(SystemExit) as exit:
        runner.main(argv)
    assert exit.value.code == 2
