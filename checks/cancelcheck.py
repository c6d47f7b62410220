"""Cancel trials: a cancelled kline request must end cancelled, never with a record.

    python -m checks.cancelcheck [--cancels N] [--seed S] [--plain-ib]

Each trial runs one kline line as the shell does (a task around run_command on the host state, so
Ctrl-C is task.cancel()) and cancels it once, at a moment its scenario picks:

  before-send  after 0-40 turns of the event loop: while the symbol is resolved, before the request
  pacing-wait  while the host's pacing guard holds the request back (for 1-15 ms here)
  in-flight    while a delayed answer is on its way (the simulator holds it 1-15 ms)
  landing      exactly as a gateway answer (contract details or bars) completes its future: inside
               that callback, 1-4 turns of the loop later, or within a millisecond after
  fallback     while the yfinance stand-in downloads (the gateway refused, or there is none),
               from a millisecond before the download ends to a millisecond after
  printing     while the bar table is printed
  shared       while an identical request started alongside shares the answer; that one must
               still end with its record

A cancel is delivered when task.cancel() finds the task unfinished, and each delivered cancel is
one trial. It ends "cancelled" (the task raised CancelledError), "swallowed" (the task returned a
record: the fault this check hunts) or "failed" (another exception, or no end within 10 s). A
cancel that finds the task finished is late and is not counted. --plain-ib speaks through a plain
ib_async.IB instead of the host's GatewayClient, to show that the check finds swallows where they
exist (it has no pacing guard and shares no answers, so those two scenarios are left out). Exit
status 0 when nothing was swallowed or failed.
"""

from __future__ import annotations

import argparse
import asyncio
import random
import sys
import time
from collections import Counter
from contextlib import asynccontextmanager
from dataclasses import dataclass, field

from checks import harness
from fixtures.yf import make_history_frame
from ibsim import Fault
from quorvane.gateway.open_requests import LocalSlots

SCENARIOS = ("before-send", "pacing-wait", "in-flight", "landing", "fallback", "printing", "shared")
HOST_SCENARIOS = {"pacing-wait", "shared"}  # what only the host's own client does
OUTCOMES = ("cancelled", "swallowed", "failed")
# Lines whose answers come from the simulator; each trial starts on an empty bar cache.
GATEWAY_LINES = (
    ["AAPL", "5m", "10"],
    ["MSFT", "day", "20", "adj"],
    ["AAPL", "2025-06-02", "2025-06-06"],
    ["AAPL", "intraday"],
    ["/ES", "1h", "20"],
)
TRIAL_LIMIT = 10.0  # seconds; a trial still running by then has hung
SHOWN_FAILURES = 10
MS = 0.001


@dataclass
class Trial:
    """One kline line run as a task, and the single cancel aimed at it."""

    words: list[str]
    online: bool = True
    task: asyncio.Task | None = None
    companion: asyncio.Task | None = None  # an identical request alongside (shared)
    delivered: bool = False
    fired: bool = False
    timers: list = field(default_factory=list)

    def cancel(self) -> None:
        if self.fired:
            return
        self.fired = True
        self.delivered = self.task.cancel()

    def cancel_later(self, seconds: float) -> None:
        self.timers.append(asyncio.get_running_loop().call_later(seconds, self.cancel))

    def cancel_after_turns(self, turns: int) -> None:
        loop = asyncio.get_running_loop()

        def turn(left: int) -> None:
            if left:
                self.timers.append(loop.call_soon(turn, left - 1))
            else:
                self.cancel()

        turn(turns)

    def disarm(self) -> None:
        for timer in self.timers:
            timer.cancel()


class HoldNext(LocalSlots):
    """Open-request slots that hold the next request back for `delay` seconds and let all others go."""

    def __init__(self) -> None:
        super().__init__()
        self.delay = 0.0

    @asynccontextmanager
    async def hold(self, seconds: float, label: str = ""):
        wait, self.delay = self.delay, 0.0
        await asyncio.sleep(wait)
        async with super().hold(seconds, label):
            yield


class Probe:
    """Runs trials against one host and tallies their outcomes per scenario."""

    def __init__(self, host: harness.Host, rng: random.Random) -> None:
        self.host = host
        self.rng = rng
        self.scenarios = [name for name in SCENARIOS if not (host.plain_ib and name in HOST_SCENARIOS)]
        self.tally: dict[str, Counter] = {name: Counter() for name in self.scenarios}
        self.failures: list[str] = []
        self.trial: Trial | None = None
        self._landings = 0
        self._landing_aim: tuple[int, str] | None = None  # (which landing, how the cancel follows it)
        self._download = (0.0, 0.0)  # (seconds the next download takes, cancel offset from its end)
        self._pacing = HoldNext()
        if not host.plain_ib:
            host.state.ib.pacer = harness.quick_pacer(slots=self._pacing)
        self._watch_landings(host.state.ib)
        self._slow_down_downloads(harness.install_yfinance())

    # ---- hooks: where the scenarios aim their cancel

    def _watch_landings(self, ib) -> None:
        start_request = ib.wrapper.startReq

        def start_and_watch(*args, **kwargs):
            future = start_request(*args, **kwargs)
            future.add_done_callback(self._landed)
            return future

        ib.wrapper.startReq = start_and_watch

    def _landed(self, future) -> None:
        self._landings += 1
        if self._landing_aim is None or self._landing_aim[0] != self._landings or future.cancelled():
            return
        how, trial = self._landing_aim[1], self.trial
        if how == "in the callback":
            trial.cancel()
        elif how == "1-4 turns later":
            trial.cancel_after_turns(self.rng.randint(1, 4))
        else:
            trial.cancel_later(self.rng.uniform(0, 1) * MS)

    def _slow_down_downloads(self, fake) -> None:
        make_ticker = fake.Ticker
        loop = asyncio.get_running_loop()

        def slow_ticker(symbol):
            ticker = make_ticker(symbol)
            history = ticker.history

            def slow_history(**kwargs):
                seconds, offset = self._download
                if seconds:
                    trial = self.trial
                    loop.call_soon_threadsafe(lambda: trial.cancel_later(max(0.0, seconds + offset)))
                    time.sleep(seconds)
                return history(**kwargs)

            ticker.history = slow_history
            return ticker

        fake.Ticker = slow_ticker
        fake.respond_with(make_history_frame(40, "5m"))

    # ---- scenarios: each picks a line and arms its cancel; arm() runs once the task exists

    def before_send(self, trial: Trial):
        turns = self.rng.randrange(40)
        return lambda: trial.cancel_after_turns(turns)

    def pacing_wait(self, trial: Trial):
        self._pacing.delay = self.rng.uniform(1, 15) * MS
        return lambda: trial.cancel_later(self.rng.uniform(0, self._pacing.delay + 3 * MS))

    def in_flight(self, trial: Trial):
        hold = self.rng.uniform(1, 15) * MS
        self.host.sim.inject(Fault.delay(hold))
        return lambda: trial.cancel_later(self.rng.uniform(0, hold + 3 * MS))

    def landing(self, trial: Trial):
        which = self.rng.choice((1, 2))  # the contract details, then the bars
        how = self.rng.choice(("in the callback", "1-4 turns later", "within 1 ms"))
        self._landings = 0
        self._landing_aim = (which, how)
        return None

    def fallback(self, trial: Trial):
        trial.words = ["AAPL", "5m", str(self.rng.randrange(5, 40))]
        if self.rng.random() < 0.5:
            trial.online = False
        else:
            self.host.sim.inject(self.rng.choice((Fault.no_data(), Fault.empty(), Fault.pacing_violation())))
        self._download = (self.rng.uniform(0.5, 5) * MS, self.rng.uniform(-1, 1) * MS)
        return None

    def printing(self, trial: Trial):
        if self.rng.random() < 0.3:
            self.host.sim.inject(Fault.no_data())  # the yfinance table instead

        def print_and_cancel(frame, title) -> None:
            trial.cancel()

        harness.set_printer(print_and_cancel)
        return None

    def shared(self, trial: Trial):
        hold = self.rng.uniform(2, 15) * MS
        self.host.sim.inject(Fault.delay(hold))
        lag, moment = self.rng.uniform(0, hold / 2), self.rng.uniform(0, hold + 3 * MS)

        def start_companion() -> None:
            trial.companion = asyncio.create_task(self.host.run(trial.words))

        def arm() -> None:
            trial.timers.append(asyncio.get_running_loop().call_later(lag, start_companion))
            trial.cancel_later(moment)

        return arm

    # ---- running

    async def run(self, scenario: str) -> None:
        trial = Trial(list(self.rng.choice(GATEWAY_LINES)))
        self.trial = trial
        arm = getattr(self, scenario.replace("-", "_"))(trial)
        harness.fresh_cache()
        trial.task = asyncio.create_task(self.host.run(trial.words, online=trial.online))
        if arm is not None:
            arm()
        done, _ = await asyncio.wait({trial.task}, timeout=TRIAL_LIMIT)
        outcome = self._outcome(trial, hung=not done)
        alongside_fine = trial.companion is None or await self._ends_with_record(trial.companion)
        self._reset(trial)
        own_fault = outcome == "failed" or (trial.delivered and outcome == "swallowed")
        if own_fault:  # a failure counts even when the cancel came too late to be a trial
            self.failures.append(f"{scenario}: kline {' '.join(trial.words)} -> {self._describe(trial)}")
        if not alongside_fine:
            self.failures.append(
                f"{scenario}: the request alongside kline {' '.join(trial.words)} -> {_describe(trial.companion)}"
            )
        if trial.delivered or outcome == "failed" or not alongside_fine:
            self.tally[scenario][outcome if alongside_fine else "failed"] += 1

    @staticmethod
    async def _ends_with_record(task: asyncio.Task) -> bool:
        done, _ = await asyncio.wait({task}, timeout=TRIAL_LIMIT)
        if not done:
            task.cancel()
        return bool(done) and not task.cancelled() and task.exception() is None

    def _outcome(self, trial: Trial, hung: bool) -> str:
        if hung:
            trial.task.cancel()
            return "failed"
        if trial.task.cancelled():
            return "cancelled" if trial.delivered else "failed"
        if trial.task.exception() is not None:
            return "failed"
        return "swallowed"

    @staticmethod
    def _describe(trial: Trial) -> str:
        if trial.task.done() and trial.task.cancelled():
            return "cancelled though no cancel was delivered"
        return _describe(trial.task)

    def _reset(self, trial: Trial) -> None:
        trial.disarm()
        self._landing_aim = None
        self._download = (0.0, 0.0)
        self._pacing.delay = 0.0
        harness.set_printer(harness.discard)
        self.host.forget()
        self.host.state._resolutions.clear()  # the next trial resolves its symbol again: that answer lands too

    @property
    def delivered(self) -> int:
        return sum(sum(counts.values()) for counts in self.tally.values())

    def report(self, label: str, elapsed: float) -> str:
        width = max(map(len, self.scenarios)) + 2
        lines = [
            f"cancelcheck, {label}: {self.delivered} cancels delivered in {elapsed:.1f} s",
            f"{'scenario':<{width}}" + "".join(f"{name:>11}" for name in OUTCOMES),
        ]
        for scenario in self.scenarios:
            lines.append(f"{scenario:<{width}}" + "".join(f"{self.tally[scenario][o]:>11}" for o in OUTCOMES))
        totals = Counter()
        for counts in self.tally.values():
            totals.update(counts)
        lines.append(f"{'total':<{width}}" + "".join(f"{totals[o]:>11}" for o in OUTCOMES))
        lines += [f"  {failure}" for failure in self.failures[:SHOWN_FAILURES]]
        if len(self.failures) > SHOWN_FAILURES:
            lines.append(f"  ... and {len(self.failures) - SHOWN_FAILURES} more")
        lines.append(f"swallowed: {totals['swallowed']}")
        return "\n".join(lines)


async def check(cancels: int, seed: int, plain_ib: bool) -> tuple[str, bool]:
    harness.set_printer(harness.discard)
    host = await harness.Host(plain_ib=plain_ib).start()
    rng = random.Random(seed)
    probe = Probe(host, rng)
    started = time.perf_counter()
    try:
        while probe.delivered < cancels:
            await probe.run(rng.choice(probe.scenarios))
        healthy = await _still_serves(host)
    finally:
        await host.stop()
    label = f"{'plain ib_async.IB' if plain_ib else 'host GatewayClient'}, seed {seed}"
    text = probe.report(label, time.perf_counter() - started)
    if not healthy:
        text += "\nthe connection no longer serves requests after the trials"
    clean = not probe.failures and healthy
    return text, clean


def _describe(task: asyncio.Task) -> str:
    if not task.done():
        return f"no end within {TRIAL_LIMIT:g} s"
    if task.cancelled():
        return "cancelled"
    error = task.exception()
    if error is not None:
        return f"{type(error).__name__}: {error}"
    return f"returned a record: { {k: v for k, v in task.result().items() if k != 'bars'} }"


async def _still_serves(host: harness.Host) -> bool:
    harness.fresh_cache()
    record = await asyncio.wait_for(host.run(["AAPL", "5m", "10"]), TRIAL_LIMIT)
    return record.get("source") == "ibkr"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="cancelcheck", description=__doc__.split("\n\n")[0])
    parser.add_argument("--cancels", type=int, default=1000, help="cancels to deliver (default 1000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--plain-ib", action="store_true", help="speak through a plain ib_async.IB")
    args = parser.parse_args(argv)
    with harness.quiet():
        text, clean = asyncio.run(check(args.cancels, args.seed, args.plain_ib))
    print(text)
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
