"""One command per process, as a script or a person at a terminal runs it."""

import csv
import json

import pytest


def test_table_on_stdout_logs_on_stderr(cli):
    run = cli("kline", "AAPL", "day", "20", "--sim")
    assert run.returncode == 0, run.stderr
    out = run.stdout.splitlines()
    assert out[0] == "AAPL day (20 bars)"
    assert out[1].split() == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
    assert len(out) == 1 + 1 + 20 + 1 and out[-1] == "kline AAPL: 20 bars (ibkr)"
    assert "Connected to gateway" in run.stderr and "Traceback" not in run.stderr


def test_json_alone_on_stdout(cli):
    run = cli("kline", "AAPL", "5m", "12", "--sim", "--json")
    assert run.returncode == 0, run.stderr
    record = json.loads(run.stdout)  # nothing else on stdout
    assert (record["symbol"], record["period"], record["count"], record["source"]) == ("AAPL", "5m", 12, "ibkr")
    assert len(record["bars"]) == 12
    assert record["bars"][0]["date"][10] == "T"  # ISO 8601 time stamp
    assert "AAPL 5m (12 bars)" in run.stderr and "kline AAPL: 12 bars (ibkr)" in run.stderr


def test_csv_and_png_written(cli, tmp_path):
    run = cli("kline", "/ES", "day", "30", "--sim", "--csv", "bars.csv", "--chart-png", "chart.png")
    assert run.returncode == 0, run.stderr
    with open(tmp_path / "bars.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 30 and list(rows[0])[:5] == ["date", "open", "high", "low", "close"]
    assert len(rows[0]["date"]) == 10 and float(rows[-1]["close"]) > 0
    png = (tmp_path / "chart.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    assert "Wrote 30 bars to bars.csv" in run.stderr and "Wrote chart to chart.png" in run.stderr


def test_terminal_chart(cli):
    run = cli("kline", "AAPL", "day", "40", "--sim", "--chart")
    assert run.returncode == 0, run.stderr
    chart = run.stdout.split("kline AAPL: 40 bars (ibkr)")[0]
    assert "AAPL day (40 bars)" in chart and "volume" in chart
    assert "\x1b[" not in chart  # no colour codes when piped


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["kline", "--sim"], 1, "No symbol provided"),
        (["quote", "AAPL", "--sim"], 1, "Unknown command: quote"),
        (["kline", "AAPL", "--csv", "no/such/dir/bars.csv", "--sim"], 1, "Cannot write no/such/dir/bars.csv"),
        (["kline", "AAPL", "--gateway", "nohost"], 2, "expected HOST:PORT"),
        (["--json"], 2, "output options go with a command"),
    ],
    ids=["error-record", "unknown-command", "unwritable-csv", "bad-gateway-address", "options-without-command"],
)
def test_failures_exit_nonzero_with_one_clear_message(cli, args, code, message):
    run = cli(*args)
    assert run.returncode == code
    assert message in run.stderr + run.stdout and "Traceback" not in run.stderr


@pytest.mark.parametrize(
    "args, env, message",
    [
        (["--gateway", "127.0.0.1:{port}"], {}, "Cannot connect to gateway at 127.0.0.1:{port}"),
        ([], {"QUORVANE_GATEWAY": "127.0.0.1:{port}"}, "Cannot connect to gateway at 127.0.0.1:{port}"),
        ([], {"QUORVANE_GATEWAY": "gateway-without-port"}, "Ignoring QUORVANE_GATEWAY"),
    ],
    ids=["option", "environment", "unreadable-environment"],
)
def test_unusable_gateway_is_one_line_then_fallback(cli, closed_port, args, env, message):
    fill = lambda text: text.format(port=closed_port)  # noqa: E731
    run = cli("kline", "AAPL", "day", "10", *map(fill, args), env={k: fill(v) for k, v in env.items()})
    assert run.returncode == 0, run.stderr
    errors = [line for line in run.stderr.splitlines() if "ERROR" in line]
    assert len(errors) == 1 and fill(message) in errors[0]
    assert "Traceback" not in run.stderr
    assert run.stdout.splitlines()[-1] == "kline AAPL: 10 bars (yfinance)"


def test_lines_piped_in_share_one_session(cli):
    run = cli("--sim", stdin="kline AAPL day 5\nkline AAPL day 5\nkline AAPL day 3 --json\n")
    assert run.returncode == 0, run.stderr
    out = run.stdout.splitlines()
    assert "kline AAPL: 5 bars (ibkr)" in out and "kline AAPL: 5 bars (ibkr, cache)" in out
    assert "AAPL day (5 bars) [cache]" in out  # the cached answer is shown too
    assert json.loads(out[-1])["cached"] is True  # 3 bars come from the 5 already held
