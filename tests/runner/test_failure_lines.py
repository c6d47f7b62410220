"""A failed request, as a user meets it: one line that names what happened, shown once."""

import pytest

OFFLINE = """\
        logging.getLogger("yfinance").warning("Cookie/crumb fetch failed (DNSError), continuing without crumb")
        raise RuntimeError("Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
                           "See https://curl.se/libcurl/c/libcurl-errors.html first for more details.")
"""
UNREACHABLE = "public data unreachable: Could not resolve host: query2.finance.yahoo.com"


@pytest.fixture
def offline(cli, yfinance_doing):
    yfinance_doing(OFFLINE)
    return cli


@pytest.mark.parametrize(
    "args, final",
    [
        (["kline", "AAPL", "day", "5"], f"kline AAPL: error: {UNREACHABLE}"),
        (["-q", "kline", "AAPL", "day", "5"], f"kline AAPL: error: {UNREACHABLE}"),
        (["kline", "FOO", "day", "5", "--sim"], f"kline FOO: error: unknown symbol FOO; {UNREACHABLE}"),
        (["kline", "AAPL", "2025-01-02", "2025-01-03", "1m"], "kline AAPL: error: public data has no 1m bars before "),
    ],
    ids=["no-network", "quiet", "unknown-symbol", "older-than-yahoo-keeps"],
)
def test_one_line_names_what_happened(offline, args, final):
    run = offline(*args, env={"KLINE_CACHE_URL": "memory:"})
    assert run.returncode == 1 and run.stdout.splitlines()[-1].startswith(final), run.stdout
    log = [line for line in run.stderr.splitlines() if line != "downloading"]
    assert not any(word in line for line in log for word in ("ERROR", "WARNING", "http", "curl")), run.stderr
    assert ("downloading" in run.stderr) == ("1m" not in args)  # outside Yahoo's limits: no download
    if "-q" in args:
        assert log == []
