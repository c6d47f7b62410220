"""Ctrl-C as a user meets it: at start-up, during a download that never ends, in a piped script."""

import signal
import subprocess
import sys
import time

import pytest

HANGING = "        threading.Event().wait()  # a proxy that never answers"


@pytest.fixture
def start(runner_env, tmp_path, yfinance_doing):
    """start(*args, stdin=None) -> a running `python -m quorvane *args` whose yfinance never answers."""
    yfinance_doing(HANGING)
    children = []

    def spawn(*args, stdin=None):
        child = subprocess.Popen([sys.executable, "-m", "quorvane", *args], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path,
                                 env={**runner_env, "KLINE_CACHE_URL": "memory:"})  # fmt: skip
        if stdin is not None:
            child.stdin.write(stdin)
            child.stdin.close()
            child.stdin = None
        children.append(child)
        return child

    yield spawn
    for child in children:
        if child.poll() is None:
            child.kill()
        child.communicate()


def interrupt_and_wait(child) -> tuple[int, float, str]:
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    return child.returncode, time.monotonic() - sent, out + err


@pytest.mark.parametrize("after", [0.1, 0.2, 0.3])
def test_ctrl_c_at_start_up_exits_130_quietly(start, after):
    child = start("kline", "AAPL", "day", "5")
    time.sleep(after)
    code, _, output = interrupt_and_wait(child)
    assert code == 130 and "Traceback" not in output, output


@pytest.mark.parametrize("stdin", [None, "kline AAPL day 5\nkline MSFT day 5\n"], ids=["one-shot", "piped-script"])
def test_ctrl_c_ends_the_process_within_a_second_while_a_download_hangs(start, stdin):
    child = start(*(["kline", "AAPL", "day", "5"] if stdin is None else []), stdin=stdin)
    assert "downloading\n" in iter(child.stderr.readline, "")  # no gateway: the command went to public data
    code, took, output = interrupt_and_wait(child)
    assert code == 130 and took < 1.0 and "Traceback" not in output, output
    assert "downloading" not in output  # a script stops: its next line never runs
