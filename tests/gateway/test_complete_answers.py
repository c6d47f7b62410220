"""Every request is complete under the gateway's own rules: trading-time durations, exchange
calendars, refusals and pacing, through the host's client and the simulator."""

import datetime as dt
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

import quorvane.cmds.quotes.kline as kline
from support.gateway_terminal import RecordedFallback

pytestmark = pytest.mark.usefixtures("host_zone")

NEW_YORK = ZoneInfo("America/New_York")
# Tuesday 2025-06-10 at 11:00 in New York: the session is an hour and a half old.
MID_SESSION = dt.datetime(2025, 6, 10, 11, 0, tzinfo=NEW_YORK)


def dates(result) -> list:
    return [bar["date"] for bar in result["bars"]]


@pytest.mark.parametrize(
    "words, count",
    [("5m 200", 200), ("1h 130", 130), ("15m", 130), ("1m", 120), ("day 2", 2), ("week 10", 10)],
    ids=["5m-200", "1h-130", "15m-default", "1m-default", "day-2", "week-10"],
)
async def test_latest_candles_mid_session_are_as_many_as_asked(terminal, words, count):
    terminal.sim.set_clock(MID_SESSION)
    result = await terminal.run(f"AAPL {words}")
    assert (result["source"], result["count"], len(result["bars"])) == ("ibkr", count, count)
    stamps = dates(result)
    assert stamps == sorted(stamps) and len(set(stamps)) == count


# A future's "D" of bars under a day is its own regular session, shorter than a stock's 6.5 hours:
# CME index 6.75 h, NYMEX 5.5 h, COMEX 5 h (the look-back sizes COMEX by silver's session).
@pytest.mark.parametrize("root", ["ES", "CL", "GC"])
@pytest.mark.parametrize(
    "words, count, duration",
    [
        ("1m 1000", 1000, {"ES": "3 D", "CL": "4 D", "GC": "4 D"}),
        ("5m 200", 200, {"ES": "3 D", "CL": "4 D", "GC": "4 D"}),
        ("15m 50", 50, {"ES": "2 D", "CL": "3 D", "GC": "3 D"}),
        ("1h 100", 100, {"ES": "15 D", "CL": "19 D", "GC": "20 D"}),
    ],
    ids=["1m-1000", "5m-200", "15m-50", "1h-100"],
)
async def test_futures_latest_candles_are_as_many_as_asked(terminal, root, words, count, duration):
    terminal.sim.set_clock(MID_SESSION)
    result = await terminal.run(f"/{root} {words}")
    assert terminal.requests[-1].durationStr == duration[root]
    assert (result["source"], result["count"], len(result["bars"])) == ("ibkr", count, count)
    stamps = dates(result)
    assert stamps == sorted(stamps) and len(set(stamps)) == count


async def test_intraday_mid_session_is_this_mornings_curve(terminal):
    terminal.sim.set_clock(MID_SESSION)
    result = await terminal.run("AAPL intraday")
    # "1 D" of trading time reaches back into Monday afternoon; the curve keeps Tuesday's minutes.
    assert terminal.requests[-1].durationStr == "1 D"
    assert dates(result) == list(pd.date_range("2025-06-10 09:30", "2025-06-10 10:59", freq="min"))


async def test_a_week_of_five_minute_bars_starts_on_monday_at_the_bell(terminal):
    result = await terminal.run("AAPL 2025-03-03 2025-03-07 5m")
    assert terminal.requests[-1].durationStr == "5 D"
    stamps = dates(result)
    assert (len(stamps), stamps[0], stamps[-1]) == (
        390,
        pd.Timestamp("2025-03-03 09:30"),
        pd.Timestamp("2025-03-07 15:55"),
    )


@pytest.mark.parametrize(
    "words, first, last, count",
    [
        # Thanksgiving closes the exchange; the day after closes at 13:00.
        ("2024-11-25 2024-11-29 1h", "2024-11-25 09:30", "2024-11-29 12:00", 7 * 3 + 4),
        ("2024-11-25 2024-11-29", dt.date(2024, 11, 25), dt.date(2024, 11, 29), 4),
        # A range opening on a holiday starts with the next session, never before its start.
        ("2025-01-01 2025-06-01", dt.date(2025, 1, 2), dt.date(2025, 5, 30), None),
    ],
    ids=["hours-skip-the-holiday-and-stop-at-the-early-close", "days-skip-the-holiday", "first-bar-on-or-after-start"],
)
async def test_ranges_keep_the_exchange_calendar(terminal, words, first, last, count):
    result = await terminal.run(f"AAPL {words}")
    stamps = dates(result)
    first, last = (pd.Timestamp(x) if isinstance(x, str) else x for x in (first, last))
    assert (stamps[0], stamps[-1]) == (first, last)
    assert count is None or len(stamps) == count
    assert not [s for s in stamps if pd.Timestamp(s).date() == dt.date(2024, 11, 28)]
    assert terminal.titles == [f"AAPL {result['period']} {result['start']} ~ {result['end']}"]


async def test_a_refusal_falls_back_at_once(terminal):
    result = await terminal.run("AAPL week adj", RecordedFallback)  # adjusted weekly bars: 321
    assert result == {"fallback": True, "symbol": "AAPL"}
    assert terminal.logs[1].startswith("WARNING|[AAPL] gateway refused the request: Error validating request")


@pytest.mark.parametrize("gateway_options", [{"pacing": True}], ids=["pacing-on"])
async def test_minute_and_larger_bars_are_not_paced(terminal, monkeypatch, caplog):
    for line in ["AAPL day 5", "AAPL day 5", "AAPL 1m 50", "AAPL 1m 50"]:
        monkeypatch.setattr(kline, "_kline_cache", None)  # as if another terminal asked the same at once
        assert (await terminal.run(line))["source"] == "ibkr"
    assert len(terminal.requests) == 4 and "pacing violation" not in caplog.text
