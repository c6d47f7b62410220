import os

import numpy as np
import pandas as pd
import pytest

from mutil import frame, streams
from mutil.frame import printFrame, tables_hidden


def printed(capsys, table, title="T"):
    printFrame(table, title)
    return capsys.readouterr().out.splitlines()


def test_small_frame_is_an_aligned_table_under_its_title(capsys):
    table = pd.DataFrame(
        {
            "date": pd.to_datetime(["2025-01-02", "2025-01-03"]),
            "time": pd.to_datetime(["2025-01-02 09:30", "2025-01-02 09:31"]),
            "open": [187.25, 188.1],
            "volume": [1200, pd.NA],
        }
    ).convert_dtypes()
    lines = printed(capsys, table, "AAPL day (2 bars)")
    assert lines[0] == "AAPL day (2 bars)"
    assert lines[1].split() == ["date", "time", "open", "volume"]
    assert lines[2].split() == ["0", "2025-01-02", "2025-01-02", "09:30:00", "187.25", "1200"]
    assert lines[3].split() == ["1", "2025-01-03", "2025-01-02", "09:31:00", "188.10", "<NA>"]
    assert len({len(line) for line in lines[1:]}) == 1  # every row as wide as the header


@pytest.mark.parametrize(
    "values, shown",
    [
        ([1.5, 2.123456789], ["1.5000", "2.1235"]),
        ([0.00012345, 0.5], ["0.00012345", "0.50000000"]),
        ([5000.0, np.nan], ["5000.0", "NaN"]),
    ],
    ids=["prices-capped-at-4-decimals", "small-values-get-more", "whole-numbers-keep-one"],
)
def test_float_precision(capsys, values, shown):
    lines = printed(capsys, pd.DataFrame({"x": values}))
    assert [line.split()[1] for line in lines[2:]] == shown


def test_long_frame_prints_head_and_tail_around_one_elision_line(capsys, monkeypatch):
    formatted, to_string = [], pd.DataFrame.to_string
    monkeypatch.setattr(pd.DataFrame, "to_string", lambda df, **kw: formatted.append(len(df)) or to_string(df, **kw))
    table = pd.DataFrame({"close": np.arange(1_000_000) * 0.01})
    lines = printed(capsys, table)
    edge = frame.MAX_ROWS // 2
    assert formatted == [frame.MAX_ROWS]
    assert len(lines) == 2 + frame.MAX_ROWS + 1
    assert lines[2 + edge] == "... 999,960 rows omitted ..."
    assert lines[2].split() == ["0", "0.00"] and lines[-1].split() == ["999999", "9999.99"]


def test_frame_of_exactly_the_limit_is_printed_whole(capsys):
    lines = printed(capsys, pd.DataFrame({"x": range(frame.MAX_ROWS)}))
    assert len(lines) == 2 + frame.MAX_ROWS


def test_closed_pipe_ends_printing_quietly():
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader went away (`... | head -1` once head is done)
    with os.fdopen(write_end, "w") as pipe:
        printFrame(pd.DataFrame({"x": range(3)}), "T", file=pipe)  # raises nothing into the caller
        printFrame(pd.DataFrame({"x": range(3)}), "T", file=pipe)
        assert streams.closed(pipe)


def test_tables_hidden_for_code_that_wants_the_data(capsys):
    with tables_hidden():
        printFrame(pd.DataFrame({"x": [1]}), "T")
    printFrame(pd.DataFrame({"x": [2]}), "shown")
    assert capsys.readouterr().out.splitlines()[0] == "shown"
