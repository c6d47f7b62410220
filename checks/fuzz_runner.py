"""Running fuzz sessions in this process: each line's outcome, the findings and their reproducers.

A finding is an exception that is not documented (only an invalid-date error, or the type error
for words handed over in anything but a list, may reach the host), a line that does not end within
LINE_LIMIT, a malformed record, a misuse of the bar cache or the printer (see invariants.py), or
words the host's word check lets through although the module ignores or mistakes them (or a
check that fails itself). Lines the host would refuse still run, to judge the check.
Each kind of finding is shrunk to a minimal reproducer: fewer earlier lines, fewer words, no
gateway fault, the plainest yfinance answer, the words in a list.
"""

from __future__ import annotations

import asyncio
from collections import Counter
from dataclasses import dataclass

from checks import harness
from checks.fuzz_cases import WORD_CONTAINERS, Line, Session, gateway_fault, simpler_lines, yf_answers
from checks.invariants import (
    WatchedCache,
    cache_problems,
    changed_lists,
    documented_error,
    record_problems,
    word_check_problems,
)
from fixtures.yf import FakeYfinance
from quorvane.words import check_words

LINE_LIMIT = 20.0  # seconds; the simulator answers every line's request long before
DOCUMENTED = {ValueError: "ValueError: invalid date", TypeError: "TypeError: words not in a list"}


@dataclass(frozen=True)
class Finding:
    kind: str  # "escaping <type>", "hang", "bad record" or "cache or printer misuse"
    detail: str
    session: Session  # the lines up to and including the one that failed


class Fuzzer:
    """Runs sessions against a host (simulator and host state) and the yfinance stand-in.

    Takes over the module's printFrame, bar-cache slot and local date (pinned to the simulator's);
    callers that must get them back (tests) save and restore them.
    """

    def __init__(self, host: harness.Host, yfinance: FakeYfinance) -> None:
        self.host = host
        self.yfinance = yfinance
        self.answers = yf_answers()
        self.outcomes: Counter = Counter()
        self.lines = 0
        self.on_line = lambda index: None  # told the index of each session line before it runs
        self._prints: list[tuple] = []
        harness.set_printer(lambda frame, title: self._prints.append((frame, title)))
        harness.pin_today(harness.SIM_NOW.date())  # the host's calendar agrees with the gateway's

    async def run_session(self, session: Session, *, count: bool = True) -> list[Finding]:
        watched = WatchedCache(harness.memory_cache())
        harness.kline._kline_cache = watched
        stored: list[tuple[list, int]] = []  # every list stored this session, with its length then
        findings = []
        for index, line in enumerate(session.lines):
            if count:  # not while shrinking: the supervisor names the running line by this
                self.on_line(index)
            outcome, finding = await self._run_line(line, watched, stored)
            if count:
                self.lines += 1
                self.outcomes[outcome] += 1
            if finding is not None:
                findings.append(Finding(*finding, Session(session.lines[: index + 1])))
        return findings

    async def shrink(self, finding: Finding) -> Session:
        """The smallest session found that still ends in a finding of the same kind."""
        session = finding.session
        index = 0
        while index < len(session.lines) - 1:
            if await self._reproduces(session.without_line(index), finding.kind):
                session = session.without_line(index)
            else:
                index += 1
        simplified = True
        while simplified:
            simplified = False
            for line in simpler_lines(session.lines[-1]):
                if await self._reproduces(session.with_last(line), finding.kind):
                    session, simplified = session.with_last(line), True
                    break
        return session

    async def _reproduces(self, session: Session, kind: str) -> bool:
        findings = await self.run_session(session, count=False)
        return any(f.kind == kind and len(f.session.lines) == len(session.lines) for f in findings)

    async def _run_line(self, line: Line, watched: WatchedCache, stored: list) -> tuple[str, tuple | None]:
        await self._prepare(line)
        watched.forget()
        self._prints.clear()
        try:
            refusal = check_words("kline", list(line.command)) if line.handed_as == "list" else None
        except Exception as error:
            return "word check crash", ("word check crash", f"{type(error).__name__}: {error}")
        if refusal is not None:
            self.outcomes["(host refuses the words)"] += 1
        record, error = None, None
        try:
            async with asyncio.timeout(LINE_LIMIT) as limit:
                record = await self._ask(line)
        except Exception as raised:
            if limit.expired():
                return "hang", ("hang", f"no end within {LINE_LIMIT:g} s")
            if not documented_error(raised, line.words, line.handed_as == "list"):
                return f"escaping {type(raised).__name__}", (f"escaping {type(raised).__name__}", str(raised))
            error = raised
        judged = line.handed_as == "list"  # the words as a host hands them over
        if judged and (problems := word_check_problems(record, error, refusal, harness.kline.ADJUST_KEYWORDS)):
            return "word check miss", ("word check miss", "; ".join(problems))
        if error is not None:
            return DOCUMENTED[type(error)], None
        stored += [(records, len(records)) for _, records in watched.stored]
        if problems := record_problems(record):
            return "bad record", ("bad record", "; ".join(problems))
        if problems := cache_problems(record, watched, self._prints) + changed_lists(stored):
            return "cache or printer misuse", ("cache or printer misuse", "; ".join(problems))
        return _describe(record), None

    def _ask(self, line: Line):
        """The line's request: through the host's command line, or built as a host that hands the
        words over in another container would build it."""
        if line.handed_as == "list":
            return self.host.run(line.command, online=line.online)
        state = self.host.state if line.online else self.host.offline
        command = harness.kline.IOpKline(state=state, ib=state.ib)
        command.symbol, command.rest = line.symbol.upper(), WORD_CONTAINERS[line.handed_as](line.words)
        return command.run()

    async def _prepare(self, line: Line) -> None:
        self.host.forget()
        if line.online and not self.host.state.connected:  # a dropped connection earlier
            await self.host.connect()
        fault = gateway_fault(line.fault)
        if fault is not None:
            self.host.sim.inject(fault)
        self.yfinance.respond_with(self.answers[line.yf])


def _describe(record: dict) -> str:
    if "error" in record:
        return f"error record: {record['error']}"
    if record.get("cached") or record.get("source") == "cache":
        return "record from the cache"
    return "record from the gateway" if record["source"] == "ibkr" else "record from yfinance"
