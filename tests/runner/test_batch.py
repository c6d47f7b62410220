"""Several symbols in one command line: `kline AAPL,IBM,NOSUCH day 20`."""

import csv
import io
import json

import pytest

# AAPL the simulated gateway knows; IBM it does not, so public data serves it; NOSUCH nobody knows.
THREE = "AAPL,IBM,NOSUCH"
NOSUCH = {"YF_UNLISTED": "NOSUCH"}


@pytest.mark.parametrize("how", ["command", "script"])
def test_each_symbol_resolves_and_falls_back_on_its_own_and_failures_are_listed(cli, how):
    words = ["kline", THREE, "day", "20"]
    if how == "command":
        run = cli(*words, "--sim", env=NOSUCH)
    else:
        run = cli("--sim", stdin=" ".join(words) + "\n", env=NOSUCH)
    assert run.returncode == 1, run.stderr
    out = run.stdout.splitlines()
    assert "AAPL day (20 bars) [ibkr]" in out and "IBM day (20 bars) [yfinance]" in out  # a compact table each
    assert out[-2:] == [
        "3 symbols: 1 from ibkr, 1 from yfinance, 1 failed",
        "NOSUCH failed: unknown symbol NOSUCH",
    ]  # the request's own last line
    assert "Traceback" not in run.stderr


def test_json_is_one_array_in_the_order_given_and_csv_one_long_table(cli):
    run = cli("kline", "NOSUCH,IBM,AAPL", "day", "20", "--sim", "--json", env=NOSUCH)
    records = json.loads(run.stdout)
    assert [(r["symbol"], r.get("source"), len(r.get("bars", []))) for r in records] == [
        ("NOSUCH", None, 0),
        ("IBM", "yfinance", 20),
        ("AAPL", "ibkr", 20),
    ]
    assert records[0]["error"] == "No data returned" and run.returncode == 1
    assert "3 symbols: 1 from ibkr, 1 from yfinance, 1 failed" in run.stderr

    run = cli("kline", "AAPL,SPY", "day", "20", "--sim", "--csv", "-")
    rows = list(csv.DictReader(io.StringIO(run.stdout)))
    assert run.returncode == 0, run.stderr
    assert list(rows[0])[:2] == ["symbol", "date"] and [r["symbol"] for r in rows] == ["AAPL"] * 20 + ["SPY"] * 20
    assert "2 symbols: 2 from ibkr, 0 failed" in run.stderr


def test_too_many_tables_for_the_screen_become_one_summary_table(cli):
    run = cli("kline", "AAPL,MSFT,SPY,TSLA,NVDA,QQQ", "day", "20", "--sim", env={"LINES": "24"})
    assert run.returncode == 0, run.stderr
    out = run.stdout.splitlines()
    assert out[0].split() == ["symbol", "source", "bars", "from", "to", "close", "change"]
    assert [line.split()[0] for line in out[1:7]] == ["AAPL", "MSFT", "SPY", "TSLA", "NVDA", "QQQ"]
    assert out[-1] == "6 symbols: 6 from ibkr, 0 failed"
