import sys
from pathlib import Path

# The suite's root conftest puts tests/ on sys.path; running this folder alone needs it too.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from fixtures.yf import *  # noqa: F403
