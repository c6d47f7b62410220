"""pytest plugin for the sanitizer run (checks/asan.sh): proves the suite tests the instrumented module.

The session stops before any test unless the kline module that imports needs the ASan runtime (its
dynamic section names it) and that runtime is loaded in the process.
"""

from __future__ import annotations

import os
from pathlib import Path

import pytest

RUNTIME = "libasan.so"
_EVIDENCE = pytest.StashKey[list]()


def _loaded_libraries() -> set[str]:
    with open("/proc/self/maps") as maps:
        return {Path(line.split()[-1]).name for line in maps if "/" in line}


def _problems(module: Path) -> list[str]:
    problems = []
    if RUNTIME.encode() not in module.read_bytes():  # the dynamic section names the libraries it needs
        problems.append(f"{module} does not link the ASan runtime")
    if not any(name.startswith(RUNTIME) for name in _loaded_libraries()):
        problems.append("the ASan runtime is not loaded (LD_PRELOAD)")
    return problems


def pytest_configure(config) -> None:
    if os.environ.get("KLINE_SANITIZED_RUN") != "1":
        raise pytest.UsageError("checks.sanitized runs under checks/asan.sh only")
    import quorvane.cmds.quotes.kline as kline

    module = Path(kline.__file__).resolve()
    if problems := _problems(module):
        raise pytest.UsageError("not a sanitized run: " + "; ".join(problems))
    config.stash[_EVIDENCE] = [f"kline module: {module}, linked to the ASan runtime, which is loaded"]


def pytest_sessionstart(session) -> None:
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    for line in session.config.stash[_EVIDENCE]:  # shown even under -q
        reporter.write_line(line)
