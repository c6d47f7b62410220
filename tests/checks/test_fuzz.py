"""A bounded, seeded fuzz run: random kline lines through both sources, with failing stand-ins."""

import quorvane.cmds.quotes.kline as kline
from checks import harness
from checks.fuzz import fuzz, report
from checks.fuzz_runner import Fuzzer

SEED = 20251208
CASES = 1000  # command lines (about 6 s); the quick vocabulary keeps the simulator's share small


async def test_every_line_ends_in_a_record_or_a_documented_error(fake_yf, monkeypatch):
    for name in ("printFrame", "_kline_cache", "datetime"):  # the fuzzer takes these over; get them back
        monkeypatch.setattr(kline, name, getattr(kline, name))
    host = await harness.Host().start()
    try:
        with harness.quiet():
            results = await fuzz(Fuzzer(host, fake_yf), SEED, CASES, quick=True)
    finally:
        await host.stop()
    assert not results.findings, report(results, SEED, 1, 1.0)
