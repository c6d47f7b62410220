"""_run_yfinance picks the fallback mode from the first word; run without a gateway goes straight there."""

import pytest

from quorvane.cmds.quotes import kline

MODES = ("intraday", "history", "kline")


def with_stub_modes(obj):
    """Replaces the three fallback coroutines by recorders; returns (calls, the record they answer)."""
    calls, answer = [], {"served": True}
    for mode in MODES:

        async def serve(*args, mode=mode):
            calls.append((mode, args))
            return answer

        setattr(obj, f"_{mode}_yfinance", serve)
    return calls, answer


@pytest.mark.parametrize(
    ("rest", "mode"),
    [
        (["intraday"], "intraday"),
        (["intraday", "5m", "200"], "intraday"),
        (["Intraday"], "kline"),
        (["today"], "history"),
        (["yesterday"], "history"),
        (["2025-01-01", "day"], "history"),
        (["5m"], "kline"),
        (["200"], "kline"),
        (["adj"], "kline"),
        ([], "kline"),
    ],
    ids=[
        "intraday",
        "intraday-ignores-more-words",
        "capitalised-intraday-is-latest",
        "today-is-a-range",
        "yesterday-is-a-range",
        "date-is-a-range",
        "period-is-latest",
        "count-is-latest",
        "adj-is-latest",
        "no-words-is-latest",
    ],
)
async def test_first_word_chooses_the_mode(command, log_lines, rest, mode):
    obj = command()
    calls, answer = with_stub_modes(obj)
    assert await obj._run_yfinance(rest) is answer
    assert calls == [(mode, () if mode == "intraday" else (rest,))]
    assert mode == "intraday" or calls[0][1][0] is rest  # the same list object
    assert log_lines == [f"INFO|[AAPL] yfinance fallback: rest={rest!r}"]


@pytest.mark.parametrize("rest", [("5m",), type("Words", (list,), {})(["5m"])], ids=["tuple", "list-subclass"])
async def test_word_list_must_be_a_list(command, log_lines, rest):
    obj = command()
    calls, _ = with_stub_modes(obj)
    with pytest.raises(TypeError):
        await obj._run_yfinance(rest)
    assert (calls, log_lines) == ([], [])


@pytest.mark.parametrize(
    ("rest", "mode_lines"),
    [
        (
            None,
            [
                "[AAPL] yfinance fallback: rest=[]",
                "[AAPL] yfinance kline: period=5y, interval=1d, count=250, adjust=False",
            ],
        ),
        (
            ["5m", "200", "adj"],
            [
                "[AAPL] yfinance fallback: rest=['5m', '200', 'adj']",
                "[AAPL] yfinance kline: period=5d, interval=5m, count=200, adjust=True",
            ],
        ),
        (
            ["2025-01-06", "2025-01-10"],
            [
                "[AAPL] yfinance fallback: rest=['2025-01-06', '2025-01-10']",
                "[AAPL] yfinance history: 2025-01-06 → 2025-01-10, interval=1d, adjust=False",
            ],
        ),
        (["intraday"], ["[AAPL] yfinance fallback: rest=['intraday']", "[AAPL] yfinance intraday"]),
    ],
    ids=["no-words", "latest", "range", "intraday"],
)
async def test_run_without_gateway_serves_from_yfinance(market, command, log_lines, printed, rest, mode_lines):
    obj = command()
    obj.rest = rest
    record = await obj.run()
    assert log_lines == ["INFO|[AAPL] No gateway, using yfinance fallback", *(f"INFO|{line}" for line in mode_lines)]
    assert record["source"] == "yfinance" and len(printed) == 1


def fail_printing(frame, title):
    raise RuntimeError("terminal gone")


@pytest.mark.parametrize(
    ("rest", "printer", "failure"),
    [
        (["2025-13-45"], None, ValueError),
        (["5m"], fail_printing, RuntimeError),
    ],
    ids=["impossible-date", "printer-fails"],
)
async def test_run_without_gateway_lets_fallback_failures_through(
    market, command, log_lines, monkeypatch, rest, printer, failure
):
    monkeypatch.setattr(kline, "printFrame", printer)
    with pytest.raises(failure):
        await command(rest).run()
    assert log_lines[:2] == [
        "INFO|[AAPL] No gateway, using yfinance fallback",
        f"INFO|[AAPL] yfinance fallback: rest={rest!r}",
    ]
