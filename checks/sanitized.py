"""pytest plugin for the sanitizer run (checks/asan.sh): proves the suite tests the instrumented module.

The session stops before any test unless the kline module that imports is the one built under
$KLINE_SANITIZED_BUILD, that library needs the ASan runtime, and that runtime is loaded in the process.
"""

from __future__ import annotations

import os
from pathlib import Path

import pytest

RUNTIME = "libasan.so"


def _loaded_libraries() -> set[str]:
    with open("/proc/self/maps") as maps:
        return {Path(line.split()[-1]).name for line in maps if "/" in line}


def _evidence() -> list[str]:
    import quorvane.cmds.quotes.kline as kline

    module = Path(kline.__file__).resolve()
    build = Path(os.environ["KLINE_SANITIZED_BUILD"]).resolve()
    problems = []
    if not module.is_relative_to(build):
        problems.append(f"the kline module imported is {module}, not one built in {build}")
    if RUNTIME.encode() not in module.read_bytes():  # the dynamic section names the libraries it needs
        problems.append(f"{module.name} does not link the ASan runtime")
    if not any(name.startswith(RUNTIME) for name in _loaded_libraries()):
        problems.append("the ASan runtime is not loaded (LD_PRELOAD)")
    return [f"kline module: {module}", *problems]


def pytest_configure(config) -> None:
    if "KLINE_SANITIZED_BUILD" not in os.environ:
        raise pytest.UsageError("checks.sanitized runs under checks/asan.sh only")
    evidence = _evidence()
    if len(evidence) > 1:
        raise pytest.UsageError("not a sanitized run: " + "; ".join(evidence[1:]))
    config.stash[_EVIDENCE] = [*evidence, f"sanitizer runtime loaded: {RUNTIME}"]


def pytest_sessionstart(session) -> None:
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    for line in session.config.stash[_EVIDENCE]:  # shown even under -q
        reporter.write_line(line)


_EVIDENCE = pytest.StashKey[list]()
