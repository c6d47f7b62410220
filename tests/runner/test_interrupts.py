"""Ctrl-C as a user meets it: at start-up, during a download that never ends, in a piped script."""

import signal
import subprocess
import sys
import time

import pytest

HANGING = "        threading.Event().wait()  # a proxy that never answers"


@pytest.fixture
def start(runner_env, tmp_path, yfinance_doing):
    """start(*args, stdin=None) -> a running `python -m quorvane *args` (`python *args` with
    python_args) whose yfinance never answers."""
    yfinance_doing(HANGING)
    children = []

    def spawn(*args, stdin=None, python_args=False):
        command = [sys.executable, *args] if python_args else [sys.executable, "-m", "quorvane", *args]
        child = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=tmp_path,
            env={**runner_env, "KLINE_CACHE_URL": "memory:"},
        )
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


# `python -m quorvane`, as Python runs it, once Python itself is up (on a busy machine that alone
# can take 0.3 s, and Ctrl-C before it is Python's own business).
AS_MAIN = [
    "-c",
    "import runpy, sys; print('up', file=sys.stderr, flush=True); sys.argv[0] = '-m'; "
    "runpy.run_module('quorvane', run_name='__main__', alter_sys=True)",
]


@pytest.mark.parametrize("after", [0.05, 0.15, 0.3])
def test_ctrl_c_at_start_up_exits_130_quietly(start, after):
    child = start(*AS_MAIN, "kline", "AAPL", "day", "5", python_args=True)
    assert child.stderr.readline() == "up\n"
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
