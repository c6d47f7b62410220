"""One command per process, as a script or a person at a terminal runs it."""

import csv
import io
import json
import os

import pytest


def test_table_on_stdout_logs_on_stderr(cli):
    run = cli("kline", "AAPL", "day", "20", "--sim")
    assert run.returncode == 0, run.stderr
    out = run.stdout.splitlines()
    assert out[0] == "AAPL day (20 bars)"
    assert out[1].split() == ["date", "open", "high", "low", "close", "volume", "average", "barCount"]
    assert len(out) == 1 + 1 + 20 + 1 and out[-1] == "kline AAPL: 20 bars (ibkr)"  # daily bars: no zone
    assert "Connected to gateway" in run.stderr and "Traceback" not in run.stderr


def test_intraday_summary_names_the_zone_of_the_bar_times(cli):
    run = cli("kline", "AAPL", "5m", "12", "--sim", "-q")
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "kline AAPL: 12 bars (ibkr), times in US/Eastern"
    assert run.stderr == ""  # -q: no info lines


@pytest.mark.parametrize(
    "option, parse",
    [("--json", lambda out: json.loads(out)["bars"]), ("--csv=-", lambda out: list(csv.DictReader(io.StringIO(out))))],
    ids=["json", "csv"],
)
def test_data_alone_on_stdout_table_and_summary_on_stderr(cli, option, parse):
    run = cli("kline", "AAPL", "5m", "12", "--sim", option)
    assert run.returncode == 0, run.stderr
    bars = parse(run.stdout)  # nothing else on stdout
    assert len(bars) == 12 and bars[0]["date"].startswith(("20", "19"))
    assert "AAPL 5m (12 bars)" in run.stderr and "kline AAPL: 12 bars (ibkr)" in run.stderr


def test_json_record_carries_the_zone(cli):
    record = json.loads(cli("kline", "AAPL", "5m", "3", "--sim", "--json").stdout)
    shown = (record["symbol"], record["count"], record["source"], record["timezone"])
    assert shown == ("AAPL", 3, "ibkr", "US/Eastern")
    assert record["bars"][0]["date"][10] == "T"  # ISO 8601 time stamp


def test_a_short_answer_says_how_many_of_how_many(cli):
    run = cli("kline", "AAPL", "month", "500", "--sim", "--json")  # the simulator's history starts in 1990
    record = json.loads(run.stdout)
    assert record["count"] == len(record["bars"]) < 500 and record["requested"] == 500
    assert f"kline AAPL: {record['count']} of 500 bars (ibkr)" in run.stderr.splitlines()


def test_csv_and_chart_files_written(cli, tmp_path):
    run = cli("kline", "/ES", "day", "30", "--sim", "--csv", "bars.csv", "--chart-file", "chart.svg")
    assert run.returncode == 0, run.stderr
    with open(tmp_path / "bars.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert len(rows) == 30 and list(rows[0])[:5] == ["date", "open", "high", "low", "close"]
    assert (tmp_path / "chart.svg").read_text().startswith("<?xml")
    assert "Wrote 30 bars to bars.csv" in run.stderr and "Wrote chart to chart.svg" in run.stderr


def test_terminal_chart_without_colour_when_piped(cli):
    run = cli("kline", "AAPL", "day", "40", "--sim", "--chart")
    assert run.returncode == 0, run.stderr
    chart = run.stdout.split("kline AAPL: 40 bars (ibkr)")[0]
    assert "AAPL day (40 bars)" in chart and "volume" in chart
    assert "\x1b[" not in chart


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["kline", "--sim"], 2, "No symbol provided"),
        (["quote", "AAPL", "--sim"], 2, "Unknown command: quote"),
        (["kline", "AAPL", "2025-02-30", "--sim"], 2, "2025-02-30 is no calendar date (day is out of range for month)"),
        (["kline", "AAPL", "5min", "100", "--sim"], 2, '"5min" is not a kline word: did you mean 5m?'),
        (["kline", "AAPL", "day", "-5"], 2, "the count must be 1 or more, not -5"),
        (["kline", "AAPL", "--csv", "no/such/dir/bars.csv", "--sim"], 1, "Cannot write no/such/dir/bars.csv"),
        (["kline", "AAPL", "--csv", ""], 2, "needs a file name, or - for standard output"),
        (["kline", "AAPL", "--chart-file", "x.jpg"], 2, "cannot tell the chart format of 'x.jpg'"),
        (["kline", "AAPL", "--json", "--csv", "-"], 2, "both write to standard output"),
        (["kline", "AAPL", "--gateway", "nohost"], 2, "expected HOST:PORT"),
        (["kline", "AAPL", "--gateway", "::1"], 2, "write an IPv6 address in brackets"),
        (["kline", "AAPL", "--echo"], 2, "--echo and --stop-on-error go with a script"),
        (["--json"], 2, "output options go with a command"),
        (["help", "nope"], 2, "Unknown command: nope"),
    ],
    ids=[
        "no-symbol",
        "unknown-command",
        "no-such-date",
        "mistyped-period",
        "negative-count",
        "unwritable-csv",
        "empty-csv-name",
        "unknown-chart-format",
        "two-outputs-on-stdout",
        "gateway-without-port",
        "unbracketed-ipv6",
        "echo-with-a-command",
        "options-without-command",
        "help-on-nothing",
    ],
)
def test_failures_exit_with_their_code_and_one_clear_message(cli, args, code, message):
    run = cli(*args)
    assert run.returncode == code
    assert message in run.stderr + run.stdout and "Traceback" not in run.stderr


@pytest.mark.parametrize(
    "args, env, message",
    [
        (["--gateway", "127.0.0.1:{port}"], {}, "Cannot connect to gateway at 127.0.0.1:{port}"),
        ([], {"QUORVANE_GATEWAY": "127.0.0.1:{port}"}, "Cannot connect to gateway at 127.0.0.1:{port}"),
        ([], {"QUORVANE_GATEWAY": "gateway-without-port"}, "Ignoring QUORVANE_GATEWAY"),
        (["--gateway", "a..b:4002"], {}, "Cannot connect to gateway at a..b:4002"),
        ([], {"QUORVANE_GATEWAY": "x" * 64 + ".example:4002"}, "Cannot connect to gateway at " + "x" * 64),
    ],
    ids=["option", "environment", "unreadable-environment", "empty-label", "label-too-long"],
)
def test_unusable_gateway_is_one_line_then_fallback(cli, closed_port, args, env, message):
    fill = lambda text: text.format(port=closed_port)  # noqa: E731
    run = cli("kline", "AAPL", "day", "10", *map(fill, args), env={k: fill(v) for k, v in env.items()})
    assert run.returncode == 0, run.stderr
    errors = [line for line in run.stderr.splitlines() if "ERROR" in line]
    assert len(errors) == 1 and fill(message) in errors[0]
    assert "Traceback" not in run.stderr
    assert run.stdout.splitlines()[-1] == "kline AAPL: 10 bars (yfinance)"


def test_closed_stdout_ends_quietly_with_the_shells_code(cli):
    # `| head -1` once head has gone: the reader of stdout is gone before the table is written.
    read_end, write_end = os.pipe()
    os.close(read_end)
    with os.fdopen(write_end, "w") as stdout:
        run = cli("kline", "AAPL", "day", "200", "--sim", stdout=stdout)
    assert run.returncode == 141
    assert "Traceback" not in run.stderr and "IBKR failed" not in run.stderr and "Error" not in run.stderr


@pytest.mark.parametrize(
    "args, expected",
    [
        (
            ["--help"],
            [
                "kline SYMBOL START [END] [PERIOD] [adj]",
                "year (y)",
                "monthly bars",
                "today or yesterday",
                "/ES",
                "QUORVANE_GATEWAY",
                "KLINE_CACHE_LIVE_TTL",
                "141",
                "-q, --quiet",
            ],
        ),
        (["help"], ["kline:", "Exit codes:", "Environment:"]),
        (["help", "kline"], ["the adjustment word comes after the period and the count", "/ES", "--chart-file"]),
    ],
    ids=["option", "overview", "command"],
)
def test_help_where_users_look(cli, args, expected):
    run = cli(*args)
    assert run.returncode == 0, run.stderr
    assert [text for text in expected if text not in run.stdout] == []


@pytest.mark.parametrize(
    "options, code, ran, not_ran",
    [
        ([], 2, ["kline AAPL: 3 bars (ibkr)", "kline AAPL: 2 bars (ibkr, cache)"], []),
        (
            ["--echo"],
            2,
            ["quorvane> kline AAPL day 3", "quorvane> kline AAPL daily 2", "kline AAPL: 2 bars (ibkr, cache)"],
            [],
        ),
        (["--stop-on-error"], 2, ["kline AAPL: 3 bars (ibkr)"], ["kline AAPL: 2 bars (ibkr, cache)"]),
    ],
    ids=["exit-code-of-the-failed-line", "echo", "stop-on-error"],
)
def test_piped_script(cli, options, code, ran, not_ran):
    run = cli("--sim", *options, stdin="kline AAPL day 3\nkline AAPL daily 2\nkline AAPL day 2\n")
    assert run.returncode == code, run.stderr
    out = run.stdout.splitlines()
    assert [line for line in ran if line not in out] == [] and [line for line in not_ran if line in out] == []
    assert any(line.startswith('kline AAPL: error: "daily" is not a kline word: did you mean day?') for line in out)


def test_lines_piped_in_share_one_session(cli):
    run = cli("--sim", stdin="kline AAPL day 5\nkline AAPL day 5\nkline AAPL day 3 --json\n")
    assert run.returncode == 0, run.stderr
    out = run.stdout.splitlines()
    assert "kline AAPL: 5 bars (ibkr)" in out and "kline AAPL: 5 bars (ibkr, cache)" in out
    assert "AAPL day (5 bars) [cache]" in out  # the cached answer is shown too
    assert json.loads(out[-1])["cached"] is True  # 3 bars come from the 5 already held
