import asyncio
import io

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
