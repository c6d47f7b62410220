import asyncio
import io
import warnings

import pytest
from loguru import logger

from quorvane import console


class Terminal(io.StringIO):
    def isatty(self):
        return True


async def test_elapsed_line_is_wiped_before_output_and_at_the_end(monkeypatch, capsys):
    monkeypatch.setattr(console, "STATUS_DELAY", 0)
    terminal = Terminal()
    async with console.waiting("kline AAPL day 5", terminal):
        await asyncio.sleep(0.05)
        shown = terminal.getvalue()
        print("table")
    assert "kline AAPL day 5" in shown and shown.endswith("s")  # "<spinner> label  0.0s"
    assert terminal.getvalue().endswith(console.CLEAR_LINE) and capsys.readouterr().out == "table\n"
    assert terminal.getvalue().count(console.CLEAR_LINE) >= 2  # wiped for the table, then at the end


async def test_no_elapsed_line_off_a_terminal():
    pipe = io.StringIO()
    async with console.waiting("kline AAPL", pipe):
        await asyncio.sleep(0.02)
    assert pipe.getvalue() == ""


@pytest.mark.parametrize(
    "verbosity, shown",
    [("quiet", ["WARNING"]), ("normal", ["INFO", "WARNING"]), ("verbose", ["DEBUG", "INFO", "WARNING", "DEBUG"])],
)
def test_verbosity_and_library_warnings_as_debug_lines(capsys, verbosity, shown):
    console.configure_logging(verbosity)
    try:
        logger.debug("detail")
        logger.info("progress")
        logger.warning("fallback")
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.warn_explicit("old API", FutureWarning, "yfinance/scrapers/history.py", 7)
    finally:
        console.reset_logging()
    lines = capsys.readouterr().err.splitlines()
    assert [line.split()[1] for line in lines] == shown
    if "DEBUG" in shown:
        assert lines[-1].endswith("FutureWarning: old API (yfinance/scrapers/history.py:7)")
