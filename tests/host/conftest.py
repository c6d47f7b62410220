import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:  # run from a checkout without installing
    sys.path.insert(0, str(ROOT))

from quorvane import console  # noqa: E402
from quorvane.cmds import base  # noqa: E402


@pytest.fixture(autouse=True)
def console_left_as_found():
    """Tests that run the runner in-process set up its console; later tests must not inherit it."""
    yield
    console.reset_logging()


@pytest.fixture
def registry(monkeypatch):
    """A command registry the test may fill; the real one comes back afterwards."""
    monkeypatch.setattr(base, "COMMANDS", dict(base.COMMANDS))
    return base.COMMANDS
