"""Fuzzing `run`: random kline command lines through both sources, with stand-ins that fail.

    python -m checks.fuzz [--cases N] [--seed S] [--quick]        (make fuzz N=...)

Lines run against the gateway simulator (through the host's state and the real ib_async client)
or with no gateway, and fall back to the yfinance stand-in; both misbehave some of the time (see
fuzz_cases.py). A worker process runs the sessions and this process watches it: a worker that
dies is a crash, one whose event loop stops answering for HANG_LIMIT seconds is a hang; either is
reported with its session and the worker restarts after it. Findings inside the worker (escaping
exceptions, malformed records, cache misuse, lines that never end) are shrunk to a minimal
reproducer there. Prints cases/s (a case is one line), crashes, hangs, outcomes and each kind of
finding with its reproducer; exit status 1 when there is any finding.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import select
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import dataclass, field

from checks import harness
from checks.fuzz_cases import Session, session
from checks.fuzz_runner import Fuzzer

HEARTBEAT = 2.0  # seconds between the worker's signs of life
HANG_LIMIT = 30.0  # seconds of silence after which the worker counts as hung


@dataclass
class Reproducer:
    kind: str
    detail: str
    lines: list[str]  # the minimal session, one command line each
    count: int = 1


@dataclass
class Results:
    lines: int = 0
    outcomes: Counter = field(default_factory=Counter)
    findings: dict[str, Reproducer] = field(default_factory=dict)

    def add(self, kind: str, detail: str, reproducer: Session | list[str]) -> None:
        if kind in self.findings:
            self.findings[kind].count += 1
        else:
            lines = [str(line) for line in reproducer.lines] if isinstance(reproducer, Session) else reproducer
            self.findings[kind] = Reproducer(kind, detail, lines)


async def fuzz(
    fuzzer: Fuzzer, seed: int, cases: int, *, quick: bool = False, first: int = 0, emit=lambda event: None
) -> Results:
    """Runs sessions first, first+1, ... until `cases` lines have run; each new kind of finding is shrunk."""
    results = Results()
    number = first
    while results.lines < cases:
        emit({"session": number})
        before = Counter(fuzzer.outcomes)
        for finding in await fuzzer.run_session(session(seed, number, quick=quick)):
            known = finding.kind in results.findings
            results.add(finding.kind, finding.detail, finding.session if known else await fuzzer.shrink(finding))
            emit({"finding": finding.kind, "detail": finding.detail, "lines": results.findings[finding.kind].lines})
        done = fuzzer.outcomes - before
        results.lines += done.total()
        results.outcomes += done
        emit({"done": number, "outcomes": dict(done)})
        number += 1
    return results


# ---- the worker: runs sessions and tells the supervisor what happens, one JSON line at a time


async def _work(seed: int, cases: int, quick: bool, first: int) -> None:
    channel = os.fdopen(os.dup(sys.stdout.fileno()), "w", buffering=1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # nothing else reaches the channel

    def emit(event: dict) -> None:
        channel.write(json.dumps(event) + "\n")

    async def heartbeat() -> None:
        while True:
            emit({"alive": True})
            await asyncio.sleep(HEARTBEAT)

    host = await harness.Host().start()
    beating = asyncio.create_task(heartbeat())
    fuzzer = Fuzzer(host, harness.install_yfinance())
    fuzzer.on_line = lambda index: emit({"line": index})
    try:
        await fuzz(fuzzer, seed, cases, quick=quick, first=first, emit=emit)
        emit({"end": True})
    finally:
        beating.cancel()
        await host.stop()


# ---- the supervisor


def supervise(seed: int, cases: int, quick: bool) -> tuple[Results, int, float]:
    """Runs workers until `cases` lines have run; crashes and hangs become findings."""
    results = Results()
    first, starts = 0, 0
    started = time.perf_counter()
    while results.lines < cases:
        starts += 1
        first = _run_worker(seed, cases - results.lines, quick, first, results)
    return results, starts, time.perf_counter() - started


def _run_worker(seed: int, cases: int, quick: bool, first: int, results: Results) -> int:
    """One worker from session `first`; returns the session to start the next worker at."""
    command = [
        sys.executable,
        "-m",
        "checks.fuzz",
        "--worker",
        "--seed",
        str(seed),
        "--cases",
        str(cases),
        "--first",
        str(first),
        *(["--quick"] if quick else []),
    ]
    with tempfile.TemporaryFile("w+") as errors:
        worker = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=errors, text=True, env={**os.environ, "PYTHONFAULTHANDLER": "1"}
        )
        current, index = first, 0  # the session and line running now

        def running() -> Session:
            return Session(session(seed, current, quick=quick).lines[: index + 1])

        while True:
            ready, _, _ = select.select([worker.stdout], [], [], HANG_LIMIT)
            line = worker.stdout.readline() if ready else None
            if line is None:  # silence: the worker's event loop is stuck
                worker.kill()
                worker.wait()
                results.add("hang (worker stopped answering)", f"no sign of life for {HANG_LIMIT:g} s", running())
                return current + 1
            if not line:  # the worker is gone
                code = worker.wait()
                if code == 0:
                    return current + 1
                errors.seek(0)
                results.add("crash", f"worker exit status {code}\n{_last_words(errors.read())}", running())
                return current + 1
            event = json.loads(line)
            if "session" in event:
                current, index = event["session"], 0
            elif "line" in event:
                index = event["line"]
            elif "done" in event:
                done = Counter(event["outcomes"])
                results.lines += done.total()
                results.outcomes += done
            elif "finding" in event:
                results.add(event["finding"], event["detail"], event["lines"])
            elif "end" in event:
                worker.wait()
                return current + 1


def _last_words(stderr: str) -> str:
    """The fault handler's account of a crash: what happened, and where the crashing thread was."""
    lines = stderr.splitlines()
    fatal = [line for line in lines if line.startswith("Fatal Python error")]
    start = next((i for i, line in enumerate(lines) if line.startswith("Current thread")), len(lines) - 10)
    return "\n".join(fatal + lines[start : start + 10])


def report(results: Results, seed: int, starts: int, elapsed: float) -> str:
    crashes = results.findings.get("crash")
    hangs = sum(r.count for kind, r in results.findings.items() if kind.startswith("hang"))
    lines = [
        f"fuzz: {results.lines} cases in {elapsed:.1f} s ({results.lines / elapsed:.1f} cases/s), seed {seed}, "
        f"{starts} worker start{'s' * (starts != 1)}",
        f"crashes: {crashes.count if crashes else 0}   hangs: {hangs}",
        "outcomes:",
        *(f"  {outcome:<40}{count:>8}" for outcome, count in results.outcomes.most_common()),
    ]
    if not results.findings:
        return "\n".join([*lines, "findings: none"])
    lines.append("findings (kind, cases, minimal reproducer):")
    for found in results.findings.values():
        lines.append(f"  {found.kind}: {found.count} case{'s' * (found.count != 1)}")
        lines += [f"      {line}" for line in found.lines]
        lines += [f"      -> {text}" for text in found.detail.splitlines()[:14]]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="fuzz", description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, default=5000, help="command lines to run (default 5000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--quick", action="store_true", help="leave out the words that make years of bars")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        with harness.quiet():
            asyncio.run(_work(args.seed, args.cases, args.quick, args.first))
        return 0
    results, starts, elapsed = supervise(args.seed, args.cases, args.quick)
    print(report(results, args.seed, starts, elapsed))
    return 1 if results.findings else 0


if __name__ == "__main__":
    sys.exit(main())
