"""What the fuzzer sends: random kline command lines, each with its own source and misbehaviour.

A session is a few lines run in order on one bar cache, so later lines meet cached answers. Each
line names its symbol and words, whether a gateway is connected, what the simulator does with its
next historical request and what the yfinance stand-in answers. Everything derives from a seed,
so a session is regenerated exactly from (seed, session number).
"""

from __future__ import annotations

import random
from dataclasses import dataclass, field, replace

from fixtures.yf import FakeYfinance, library_empty_frame, make_history_frame
from ibsim import Fault

SYMBOLS = ["AAPL", "MSFT", "/ES", "/CL", "aapl", "ZZZZ", "/", "BRK.B", "", "\udcff", "AA\x00PL"]
WORDS = {
    "period": [
        "1m",
        "5m",
        "15m",
        "30m",
        "1h",
        "day",
        "week",
        "month",
        "year",
        "minute",
        "hour",
        "d",
        "w",
        "m",
        "y",
        "1d",
        "1mo",
    ],
    "near period": ["Day", "DAY", "2h", "1y", "mins", "1 min", " day", "day ", "M"],
    "count": [
        "0",
        "1",
        "3",
        "20",
        "-5",
        "250",
        "+3",
        " 7 ",
        "1_0",
        "1__0",
        "_1",
        "٣",
        "1e3",
        "0x10",
        "3.5",
        "99999999999999999999",
        "-99999999999999999999",
    ],
    "adjust": ["adj", "forward", "ADJ", "none", "Adj"],
    "date": [
        "today",
        "yesterday",
        "2025-01-02",
        "2025-06-02",
        "2025-06-13",
        "2024-02-29",
        "2026-12-31",
        "1999-12-31",
        "2025-02-29",
        "2025-13-45",
        "0000-00-00",
        "9999-12-31",
        "2025-1-1",
        "Today",
        "2025/01/01",
        "20250101",
        "２０２５-０１-０２",  # noqa: RUF001 - fullwidth digits on purpose
    ],
    "mode": ["intraday", "Intraday", "INTRADAY"],
    "junk": ["", " ", "\x00", "é", "日本", "\udcff", "🙂", "-", "--json", "a" * 300, "None", "[]"],
}
# Words that make the simulator build years of bars: left out of quick sessions (the bounded test).
SLOW_WORDS = {
    "week",
    "month",
    "year",
    "w",
    "m",
    "y",
    "1mo",
    "250",
    "99999999999999999999",
    "-99999999999999999999",
    "2025-01-02",
    "2024-02-29",
    "1999-12-31",
}
REPEAT = 0.3  # the chance that a line repeats an earlier line of its session
WORD_WEIGHTS = {"period": 5, "near period": 1, "count": 4, "adjust": 3, "date": 4, "mode": 2, "junk": 1}
FIRST_WORD_WEIGHTS = {"period": 5, "near period": 1, "count": 2, "adjust": 1, "date": 5, "mode": 3, "junk": 1}


class YFRateLimitError(Exception):
    """Stands for yfinance's own error when Yahoo rate-limits the caller."""


class WordList(list):
    """A list subclass: a host that hands the words over in one is refused, as with a tuple."""


# Word containers other than a list, which a careless host might hand over.
WORD_CONTAINERS = {"tuple": tuple, "list subclass": WordList}
# What the simulator does with the next historical request; None answers normally.
GATEWAY_FAULTS = {
    None: 12,
    "no data": 2,
    "empty": 2,
    "pacing violation": 1,
    "refused (321)": 1,
    "slow answer": 1,
    "dropped connection": 0.1,
}
# What the yfinance stand-in answers; exceptions are raised inside Ticker.history.
YF_ANSWERS = {
    "daily bars": 8,
    "minute bars": 4,
    "zone-naive bars": 1,
    "no dividend columns": 1,
    "capital gains column": 1,
    "unnamed index": 1,
    "one bar": 1,
    "missing prices": 1,
    "library's empty frame": 1,
    "empty": 1,
    "rate limited": 1,
    "network error": 1,
    "no time zone": 1,
    "library bug": 1,
}


def gateway_fault(name: str | None) -> Fault | None:
    return {
        None: None,
        "no data": Fault.no_data(),
        "empty": Fault.empty(),
        "pacing violation": Fault.pacing_violation(),
        "refused (321)": Fault.error(321, "Error validating request.-'bP' : cause - invalid duration"),
        "slow answer": Fault.delay(0.003),
        "dropped connection": Fault.drop(),
    }[name]


def yf_answers() -> dict[str, object]:
    """Each answer of YF_ANSWERS, built once: frames shaped like the library's, or exceptions."""
    daily = make_history_frame(60, "1d")
    missing = daily.copy()
    missing.iloc[5:8, :4] = float("nan")
    return {
        "daily bars": daily,
        "minute bars": make_history_frame(80, "5m"),
        "zone-naive bars": make_history_frame(30, "1d", tz=None),
        "no dividend columns": daily.drop(columns=["Dividends", "Stock Splits"]),
        "capital gains column": make_history_frame(20, "1d", extra_columns={"Capital Gains": 0.0}),
        "unnamed index": make_history_frame(20, "1d", index_name=None),
        "one bar": make_history_frame(1, "1d"),
        "missing prices": missing,
        "library's empty frame": library_empty_frame(),
        "empty": FakeYfinance.EMPTY,
        "rate limited": YFRateLimitError("Too Many Requests. Rate limited. Try after a while."),
        "network error": ConnectionError("Failed to perform, curl: (7) Couldn't connect to server"),
        "no time zone": ValueError("$ZZZZ: possibly delisted; no timezone found"),
        "library bug": TypeError("'NoneType' object is not subscriptable"),
    }


@dataclass(frozen=True)
class Line:
    """One command line `kline <symbol> <words...>` and the conditions it meets."""

    symbol: str
    words: tuple[str, ...]
    online: bool = True  # a gateway is connected
    fault: str | None = None  # GATEWAY_FAULTS key
    yf: str = "daily bars"  # YF_ANSWERS key
    handed_as: str = "list"  # how the host hands the words over: a list, or (wrongly) a WORD_CONTAINERS key

    @property
    def command(self) -> list[str]:
        return [self.symbol, *self.words]

    def __str__(self) -> str:
        words = " ".join(repr(w) if _needs_quotes(w) else w for w in self.command)
        source = f"gateway{f' ({self.fault})' if self.fault else ''}" if self.online else "no gateway"
        handed = "" if self.handed_as == "list" else f"; words handed over as a {self.handed_as}"
        return f"kline {words}".rstrip() + f"    [{source}; yfinance: {self.yf}{handed}]"


@dataclass(frozen=True)
class Session:
    lines: tuple[Line, ...] = field(default_factory=tuple)

    def without_line(self, index: int) -> Session:
        return Session(self.lines[:index] + self.lines[index + 1 :])

    def with_last(self, line: Line) -> Session:
        return Session((*self.lines[:-1], line))


def session(seed: int, number: int, *, quick: bool = False, max_lines: int = 4) -> Session:
    """Session `number` of the run seeded `seed`.

    `quick` leaves out the SLOW_WORDS and sends a quarter of the lines (not three quarters) to the
    gateway, whose simulator takes far longer per line than the yfinance stand-in.
    """
    rng = random.Random(f"{seed}:{number}")
    words = {kind: [w for w in choices if not (quick and w in SLOW_WORDS)] for kind, choices in WORDS.items()}
    online = 0.25 if quick else 0.75
    lines: list[Line] = []
    for _ in range(rng.randint(1, max_lines)):
        line = _line(rng, words, online)
        if lines and rng.random() < REPEAT:  # asked again, maybe through the other source
            line = replace(rng.choice(lines), online=line.online, fault=line.fault, yf=line.yf)
        lines.append(line)
    return Session(tuple(lines))


def simpler_lines(line: Line):
    """Variants of `line` with one thing less: a word, the gateway fault, an odd yfinance answer."""
    for index in range(len(line.words)):
        yield replace(line, words=line.words[:index] + line.words[index + 1 :])
    if line.fault is not None:
        yield replace(line, fault=None)
    if line.yf != "daily bars":
        yield replace(line, yf="daily bars")
    if line.handed_as != "list":
        yield replace(line, handed_as="list")


def _line(rng: random.Random, vocabulary: dict[str, list[str]], online: float) -> Line:
    words = []
    for position in range(rng.choices(range(6), (1, 4, 4, 3, 2, 1))[0]):
        weights = FIRST_WORD_WEIGHTS if position == 0 else WORD_WEIGHTS
        kind = rng.choices(list(weights), list(weights.values()))[0]
        words.append(rng.choice(vocabulary[kind]))
    return Line(
        symbol=rng.choices(SYMBOLS, (8, 3, 3, 1, 1, 1, 1, 1, 1, 1, 1))[0],
        words=tuple(words),
        online=rng.random() < online,
        fault=rng.choices(list(GATEWAY_FAULTS), list(GATEWAY_FAULTS.values()))[0],
        yf=rng.choices(list(YF_ANSWERS), list(YF_ANSWERS.values()))[0],
        handed_as=rng.choices(("list", *WORD_CONTAINERS), (48, 1, 1))[0],
    )


def _needs_quotes(word: str) -> bool:
    return not word or not word.isprintable() or any(c.isspace() for c in word) or len(word) > 40
