"""A gateway's bad days as a user meets them: the simulator plays each (IBSIM_ARGS="--scenario NAME"),
and the run says why in one line, then serves the bars (from public data where the gateway cannot)."""

import pytest

SUBSCRIBE = "subscribe, or share the live account's data with the paper account"


@pytest.mark.parametrize(
    "scenario, line, source",
    [
        (
            "no-permissions",
            f"the gateway has no market-data permission for NASDAQ stocks (IB 162): {SUBSCRIBE}",
            "yfinance",
        ),
        (
            "delayed-only",
            "The gateway sends delayed data (IB 10167): bars end about 15 minutes ago; subscribe for live data",
            "ibkr",
        ),
        (
            "competing-session",
            "another session of this IBKR user holds the market data (IB 162): log out of the other"
            " session (web, mobile or another TWS), or give the API a username of its own",
            "yfinance",
        ),
        (
            "nightly-reset",
            "the gateway has lost its connection to IBKR (IB 1100), as in its nightly reset: public data"
            " until it is back",
            "yfinance",
        ),
        (
            "farm-broken",
            "the gateway's contract-lookup farm is down (IB 2157): public data until it is back",
            "yfinance",
        ),
        ("client-id-in-use", "Client id 1 is in use at the gateway (IB 326): trying client id 2", "ibkr"),
        ("not-logged-in", "connected, but the gateway does not answer (is it logged in?)", "yfinance"),
    ],
)
def test_each_bad_day_is_one_line_then_the_bars(cli, scenario, line, source):
    run = cli(
        "kline",
        "AAPL",
        "day",
        "5",
        "--sim",
        env={"IBSIM_ARGS": f"--scenario {scenario} --no-latency", "KLINE_CACHE_URL": "memory:"},
    )
    assert run.returncode == 0, run.stderr
    said = [text for text in run.stderr.splitlines() if " WARNING " in text or " ERROR " in text]
    assert len(said) == 1 and line in said[0], run.stderr
    assert run.stdout.splitlines()[-1] == f"kline AAPL: 5 bars ({source})"
