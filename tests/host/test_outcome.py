"""A failed request's last line names what happened, once; public data's limits are known in advance."""

import asyncio
from datetime import date

import pytest
from loguru import logger

from quorvane import outcome, public_data

CURL = (
    "Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
    "See https://curl.se/libcurl/c/libcurl-errors.html first for more details."
)
TODAY = date(2026, 12, 8)


@pytest.mark.parametrize(
    "lines, host_note, error, final",
    [
        (["Symbol not found: FOO", "[FOO] yfinance returned no data"], None, "No data returned", "unknown symbol FOO"),
        (
            [f"[AAPL] yfinance fetch failed: {CURL}"],
            None,
            "No data returned",
            "public data unreachable: Could not resolve host: query2.finance.yahoo.com",
        ),
        (
            [
                "Gateway gave no answer in 60 s for 1 min bars of AAPL",
                "[AAPL] IBKR returned error (No data returned), falling back to yfinance",
            ],
            "public data has no 1m bars before 2026-11-08",
            "No data in range",
            "gateway timed out after 60 s; public data has no 1m bars before 2026-11-08",
        ),
        (
            ["[AAPL] IBKR failed (), falling back to yfinance"],
            None,
            "No data returned",
            "gateway failed; public data: No data returned",
        ),
        (
            [
                "[AAPL] IBKR failed (the gateway has no market-data permission for NASDAQ stocks (IB 162): subscribe), "
                "falling back to yfinance"
            ],
            None,
            "No data returned",
            "the gateway has no market-data permission for NASDAQ stocks (IB 162): subscribe;"
            " public data: No data returned",
        ),
        ([], None, "No data returned", "No data returned"),
    ],
    ids=[
        "unknown-symbol",
        "no-network",
        "timeout-then-limit",
        "empty-reason",
        "refusal-said-by-the-host",
        "nothing-said",
    ],
)
def test_the_final_line_names_the_cause(lines, host_note, error, final):
    with outcome.gathering() as gathered:
        for line in lines:
            logger.error(line)
        if host_note:
            outcome.note_public(host_note)
    assert gathered.final_error(error) == final


@pytest.mark.parametrize(
    "kwargs, problem",
    [
        (
            {"start": date(2026, 11, 7), "end": date(2026, 11, 9), "interval": "1m"},
            "public data has no 1m bars before 2026-11-08 (Yahoo keeps 30 days)",
        ),
        (
            {"start": date(2026, 11, 20), "end": date(2026, 12, 1), "interval": "1m"},
            "public data serves at most 8 days of 1m bars per request",
        ),
        ({"start": date(2026, 10, 10), "end": date(2026, 12, 1), "interval": "5m"}, None),
        (
            {"start": date(2026, 10, 8), "end": date(2026, 12, 1), "interval": "15m"},
            "public data has no 15m bars before 2026-10-09 (Yahoo keeps 60 days)",
        ),
        (
            {"start": date(2024, 12, 7), "end": date(2025, 1, 1), "interval": "60m"},
            "public data has no 60m bars before 2024-12-08 (Yahoo keeps 730 days)",
        ),
        ({"start": date(1999, 1, 4), "end": date(2025, 1, 1), "interval": "1d"}, None),
        ({"period": "5d", "interval": "1m"}, None),
    ],
    ids=["1m-too-old", "1m-span-too-long", "5m-within", "15m-too-old", "1h-too-old", "daily", "look-back-period"],
)
def test_yahoos_limits(kwargs, problem):
    assert public_data.limit_problem(kwargs, TODAY) == problem


class Downloading:
    def __init__(self, seconds):
        self.seconds, self.calls = seconds, 0

    async def _yf_history(self, **kwargs):
        self.calls += 1
        await asyncio.sleep(self.seconds)
        return "frame"


@pytest.mark.parametrize(
    "kwargs, seconds, answer, said",
    [
        ({"period": "5y", "interval": "1d"}, 0, "frame", None),
        ({"period": "5y", "interval": "1d"}, 10, None, "public data did not answer within 0.2 s"),
        (
            {"start": date(2025, 1, 1), "end": date(2025, 2, 1), "interval": "1m"},
            0,
            None,
            "public data has no 1m bars before 2026-11-08 (Yahoo keeps 30 days)",
        ),
    ],
    ids=["answered", "bounded", "outside-the-limits-no-download"],
)
async def test_downloads_keep_the_hosts_terms(monkeypatch, kwargs, seconds, answer, said):
    monkeypatch.setattr(public_data, "DOWNLOAD_LIMIT", 0.2)
    command = Downloading(seconds)
    public_data.guard_downloads(command, today=lambda: TODAY)
    with outcome.gathering() as gathered:
        assert await command._yf_history(**kwargs) == answer
    assert gathered.public == said and command.calls == (0 if "bars before" in str(said) else 1)
