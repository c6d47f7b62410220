"""_yf_history: one blocking download on a worker thread; HTTPS_PROXY; failures logged and None."""

import asyncio
import subprocess
import sys
import threading

import pandas as pd
import pytest

from fixtures.yf import make_history_frame
from support.fallback_helpers import cached

PROXY = "http://proxy.test:3128"
BOTH_SCHEMES = {"https": PROXY, "http": PROXY}


async def test_download_runs_on_a_worker_thread_with_the_keywords_as_given(market, command):
    frame = make_history_frame(5, interval="5m")
    market.respond_with(frame)
    hist = await command(symbol="brk-b")._yf_history(period="5d", interval="5m", auto_adjust=True)
    (call,) = market.calls
    assert call.thread_id != threading.get_ident() and not call.in_event_loop
    assert call.symbol == "brk-b"  # no change of case or form
    assert list(call.kwargs.items()) == [("period", "5d"), ("interval", "5m"), ("auto_adjust", True)]
    pd.testing.assert_frame_equal(hist, frame)  # as delivered, not normalised


@pytest.mark.parametrize(
    ("env_per_download", "assigned", "seen_by_history"),
    [
        ([{}], [], [None]),
        ([{"HTTPS_PROXY": ""}], [], [None]),
        ([{"https_proxy": PROXY}], [], [None]),
        ([{"HTTPS_PROXY": PROXY}], [BOTH_SCHEMES], [BOTH_SCHEMES]),
        ([{"HTTPS_PROXY": PROXY}, {}], [BOTH_SCHEMES], [BOTH_SCHEMES, BOTH_SCHEMES]),
    ],
    ids=[
        "unset-leaves-proxy-alone",
        "empty-leaves-proxy-alone",
        "lower-case-name-not-read",
        "set-proxies-both-schemes",
        "unset-later-keeps-the-earlier-proxy",
    ],
)
async def test_https_proxy(market, command, monkeypatch, env_per_download, assigned, seen_by_history):
    for env in env_per_download:
        for name in ("HTTPS_PROXY", "https_proxy"):
            monkeypatch.delenv(name, raising=False)
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        await command()._yf_history(period="1d")
    assert market.proxy_assignments == assigned
    assert [call.proxy for call in market.calls] == seen_by_history


@pytest.mark.parametrize(
    ("world", "kwargs", "reason"),
    [
        ("yfinance_missing", {"period": "1d"}, "import of yfinance halted; None in sys.modules"),
        ("history_raises", {"period": "1d"}, "connection reset"),
        ("fake_yf", {"period": "1d", "proxy": PROXY}, "got an unexpected keyword argument 'proxy'"),
    ],
    ids=["yfinance-not-installed", "history-raises", "unknown-keyword"],
)
async def test_failed_download_is_logged_and_none(request, command, log_lines, world, kwargs, reason):
    if world == "history_raises":
        request.getfixturevalue("fake_yf").raise_(ConnectionError("connection reset"))
    else:
        request.getfixturevalue(world)
    assert await command()._yf_history(**kwargs) is None
    assert log_lines == [f"ERROR|[AAPL] yfinance fetch failed: {reason}"]


def test_module_loads_without_yfinance():
    script = (
        "import sys; sys.modules['yfinance'] = None\n"
        "from quorvane.cmds.quotes import kline; print(kline.IOpKline.__name__)"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "IOpKline\n"), done.stderr


async def test_cancelling_the_awaiting_task_lets_the_download_finish_quietly(fake_yf, command):
    started, release, finished = threading.Event(), threading.Event(), threading.Event()

    class SlowTicker:
        def __init__(self, symbol):
            pass

        def history(self, **kwargs):
            started.set()
            release.wait(5)
            finished.set()
            return make_history_frame(1)

    loop_errors = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: loop_errors.append(context))
    library_ticker, fake_yf.Ticker = fake_yf.Ticker, SlowTicker
    task = asyncio.create_task(command()._yf_history(period="1d"))
    assert await asyncio.to_thread(started.wait, 2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(task, 2)
    release.set()
    assert await asyncio.to_thread(finished.wait, 2)
    fake_yf.Ticker = library_ticker  # the next download still works and nothing was reported
    assert await asyncio.wait_for(command()._yf_history(period="1d"), 2) is not None
    assert loop_errors == []


@pytest.mark.parametrize(
    ("typed", "asked"),
    [
        ("AAPL", "AAPL"),
        ("BRK.B", "BRK-B"),
        ("/ES", "ES=F"),
        ("/CL", "CL=F"),
        ("^GSPC", "^GSPC"),
        ("^DJI", "^DJI"),
    ],
    ids=["stock", "class-share-dash", "future-root-eq-f", "energy-future", "index-caret", "dow-caret"],
)
async def test_public_data_is_asked_in_its_own_notation_and_answers_under_the_typed_one(
    market, command, log_lines, printed, typed, asked
):
    record = await command(symbol=typed)._kline_yfinance(["day", "5"])
    assert [call.symbol for call in market.calls] == [asked]
    assert record["symbol"] == typed and len(record["bars"]) == 5
    assert [title for _, title in printed] == [f"{typed} day (5 bars) [yfinance]"]
    assert log_lines and all(line.split("|", 1)[1].startswith(f"[{typed}]") for line in log_lines)
    assert cached("count", typed, "day", "none", 5) is record["bars"]
