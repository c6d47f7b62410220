import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:  # the checks package lives at the top of the checkout
    sys.path.insert(0, str(ROOT))
