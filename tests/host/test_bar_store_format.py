"""The bar store's entry layout, pinned: bytes written differently must come with a new format version."""

from __future__ import annotations

import hashlib
import math
import zlib
from datetime import date

import pandas as pd

from quorvane.gateway.bar_store import codec

KEY = '["range","AAPL"]'
STORED_AT = 1_750_000_000.0  # fixed: encode takes the time stored as a parameter


def bar(when, close, volume, count) -> dict:
    return {
        "date": when,
        "open": 1.5,
        "high": 2.25,
        "low": 1.0,
        "close": close,
        "volume": volume,
        "average": 1.75,
        "barCount": count,
    }


def entries() -> dict[str, list]:
    # Zone-naive, as intraday bars come; the unit fixed, whatever pandas would infer.
    minutes = pd.date_range("2025-07-01 09:30", periods=3, freq="min", unit="s")
    return {
        "intraday": [bar(when, 1.0 + i, 100 * i, i) for i, when in enumerate(minutes)],
        "daily": [bar(date(2025, 6, 30), 2.0, 10.0, 7), bar(date(2025, 7, 1), math.nan, math.nan, None),
                  bar(date(2025, 7, 2), 3.0, None, 2**70)],
    }  # fmt: skip


# (format version, sha256 of each entry's layout): a change to the bytes written needs a new
# version, so an entry written by one version is never read as another's.
GOLDEN = {
    1: {
        "intraday": "c106426a634c6eed53a399456b979499fa1f978494433155e82c16f704660cdd",
        "daily": "f3e86a355b7390c8bffde75773652a50e06c90fe5357bb5b753b865c7a289a43",
    },
}


def layout(blob: bytes) -> bytes:
    """The entry with its body inflated and without its checksum: what the format fixes, whatever
    the zlib build compresses to."""
    head = codec.read_head(blob)
    body_at = codec.HEAD_SIZE + len(head.key.encode())
    return blob[:6] + blob[22:body_at] + zlib.decompress(blob[body_at:])


def test_the_layout_is_pinned_to_its_format_version():
    assert codec.VERSION in GOLDEN, f"format version {codec.VERSION} has no golden digests: add them"
    for name, records in entries().items():
        blob = codec.encode(KEY, records, STORED_AT)
        assert codec.encode(KEY, records, STORED_AT) == blob  # nothing of the moment in the bytes
        got = hashlib.sha256(layout(blob)).hexdigest()
        assert got == GOLDEN[codec.VERSION][name], (
            f"the {name} entry's bytes changed under format version {codec.VERSION}: bump codec.VERSION "
            f"(readers then treat older entries as misses), add GOLDEN[{codec.VERSION + 1}] = {got!r} here "
            "and describe the change in docs/bar-store-format.md"
        )
        back = codec.decode(KEY, blob)
        assert [list(map(repr, r.values())) for r in back] == [list(map(repr, r.values())) for r in records]
