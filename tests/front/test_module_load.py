"""What importing the extension leaves behind: the registered data class, its
help text, the imported host names, and a library exporting one entry point."""

import dataclasses
import json
import shutil
import subprocess
import sys
from pathlib import Path

import ib_async
import pytest

import mutil.dispatch
import mutil.frame
import quorvane.cmds.quotes.kline as kline
import quorvane.gateway.kline_cache
import quorvane.helpers
from quorvane.cmds import base

ROOT = Path(__file__).resolve().parents[2]
IOpKline = kline.IOpKline

HELP_LINES = [
    "Fetch candlestick / OHLCV data via IBKR.",
    "",
    "    Modes:",
    "      kline <symbol> [period] [count] [adj]           # Latest N candles",
    "      kline <symbol> <start> [end] [period] [adj]     # History by date range",
    "      kline <symbol> intraday                          # Today's per-minute curve",
    "",
    "    Periods: 1m, 5m, 15m, 30m, 1h, day, week, month, year",
    "    Aliases: minute, hour, d, w, m, y, 1d, 1mo",
    "    Count:  number of bars (per-period default: 1m=120, 5m=78, day=250, etc.)",
    "    Adj:    adj (or forward) for split+dividend adjusted price (ADJUSTED_LAST)",
    "            omitted = TRADES (split-adjusted only)",
    "    Start / End: YYYY-MM-DD (end defaults to today)",
    "",
    "    Examples:",
    "      kline AAPL day 100",
    "      kline AAPL 5m 200 adj",
    "      kline AAPL 2025-01-01 day",
    "      kline AAPL 2025-01-01 2025-06-01 day",
    "      kline AAPL intraday",
    "    ",
]


def run_python(code):
    """Runs `code` in a fresh interpreter from the checkout and returns its stdout."""
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_registered_under_kline():
    assert base.COMMANDS["kline"] is IOpKline
    assert (IOpKline.__module__, IOpKline.__qualname__) == ("quorvane.cmds.quotes.kline", "IOpKline")


def test_is_a_data_class_on_iop_with_host_assigned_fields():
    assert dataclasses.is_dataclass(IOpKline) and issubclass(IOpKline, base.IOp)
    fields = {f.name: f for f in dataclasses.fields(IOpKline)}
    assert list(fields)[-2:] == ["symbol", "rest"] and "requires_gateway" not in fields
    for name in ("symbol", "rest"):
        field = fields[name]
        assert not field.init and field.default is field.default_factory is dataclasses.MISSING
        assert name not in IOpKline.__dict__  # no class-level value: unset until the host assigns it
    assert IOpKline.__dict__["requires_gateway"] is False
    with pytest.raises(TypeError):
        IOpKline(symbol="AAPL")


def test_help_text_is_the_doc_string():
    assert len(HELP_LINES) == 21
    assert IOpKline.__doc__ == "\n".join(HELP_LINES)


@pytest.mark.parametrize(
    "name, source",
    [
        ("IOp", base),
        ("command", base),
        ("KlineCache", quorvane.gateway.kline_cache),
        ("Future", quorvane.helpers),
        ("DArg", mutil.dispatch),
        ("printFrame", mutil.frame),
        ("Contract", ib_async),
    ],
    ids=lambda value: value if isinstance(value, str) else "",
)
def test_host_names_are_module_attributes(name, source):
    assert getattr(kline, name) is getattr(source, name)


def test_import_does_nothing_else():
    facts = json.loads(
        run_python(
            "import json, threading, loguru\n"
            "threads = threading.active_count()\n"
            "import quorvane.cmds.quotes.kline as kline\n"
            "print(json.dumps([kline._kline_cache is None, threading.active_count() - threads,\n"
            "                  kline.logger is loguru.logger]))\n"
        )
    )
    assert facts == [True, 0, True]  # loguru's logger until a host rebinds it (quorvane.loader does)


@pytest.mark.parametrize("blocked", ["mutil.frame", "quorvane.cmds.base", "quorvane.helpers", "ib_async"])
def test_a_failed_import_fails_the_load(blocked):
    outcome = run_python(
        f"import sys\nsys.modules[{blocked!r}] = None\n"
        "try:\n    import quorvane.cmds.quotes.kline\nexcept ImportError:\n"
        "    print('ImportError', 'quorvane.cmds.quotes.kline' in sys.modules)\n"
    )
    assert outcome.split() == ["ImportError", "False"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_library_exports_one_entry_point():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", kline.__file__], capture_output=True, text=True, check=True, timeout=30
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_kline"]
