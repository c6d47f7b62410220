"""Words the kline command would ignore or mistake are refused before anything runs."""

import pytest

from quorvane.loader import load_commands
from quorvane.words import check_words

load_commands()


@pytest.mark.parametrize(
    "words, refusal",
    [
        (["5min", "100"], '"5min" is not a kline word: did you mean 5m?'),
        (["daily", "10"], '"daily" is not a kline word: did you mean day?'),
        (["1hr"], '"1hr" is not a kline word: did you mean 1h?'),
        (["60mins"], "did you mean 1h?"),
        (["Day"], "did you mean day?"),
        (["ADJ"], "did you mean adj?"),
        (["Intraday"], "did you mean intraday?"),
        (["2h"], '"2h" is not a kline word (periods 1m 5m 15m 30m 1h day week month year, a count, adj or forward)'),
        (["banana"], '"banana" is not a kline word ('),
        (["adj", "5m", "200"], '"5m 200" would be ignored: the words go kline SYMBOL [period] [count] [adj]'),
        (["day", "-5"], "the count must be 1 or more, not -5"),
        (["5m", "0"], "the count must be 1 or more, not 0"),
        (["2025-02-30"], "2025-02-30 is no calendar date (day is out of range for month)"),
        (["2025-01-01", "2025-13-01"], "2025-13-01 is no calendar date"),
        (["2025-01-01", "100"], '"100" is not a kline word (periods 1m 5m 15m 30m 1h day week month year, adj'),
        (["intraday", "5m"], '"5m" would be ignored: intraday takes no other words'),
        (["day", "5", "adj", "x"], '"x" would be ignored'),
        (["\x1b[2J"], "'\\x1b[2J' is not a kline word"),
    ],
    ids=str,
)
def test_refused_with_the_word_meant(words, refusal):
    assert refusal in check_words("kline", ["AAPL", *words])


@pytest.mark.parametrize(
    "words",
    [
        [],
        ["d"],
        ["adj"],
        ["100", "forward"],
        ["5m", "200", "adj"],
        [" 7 "],
        ["1_0"],
        ["intraday"],
        ["today"],
        ["2024-02-29", "day"],
        ["2025-01-01", "2025-06-01", "1h", "adj"],
        ["yesterday", "forward"],
    ],
    ids=str,
)
def test_words_the_command_reads_whole_pass(words):
    assert check_words("kline", ["AAPL", *words]) is None
