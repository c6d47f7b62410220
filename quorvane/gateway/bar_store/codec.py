"""Bar records as bytes: a versioned, checksummed, columnar layout that keeps every value exactly.

A stored entry is

    head      magic "QVBR", format version, checksum, record count, time stored, key length
    key       the entry's key, UTF-8
    body      the columns, zlib-compressed

and the checksum (BLAKE2b, 16 bytes) covers everything after itself. Reading checks the magic,
the version, the checksum and the key; any failure makes the entry a miss, never wrong bars.

Each column holds one record field. Its values are grouped by kind (float, int, bool, text,
None, date, datetime, Timestamp: a kind is an exact Python type plus what the type needs to come
back the same, such as a time zone or a Timestamp's unit); a column of several kinds adds one tag
per row saying which. Records that hold anything else, or whose rows differ in their fields,
raise `Unstorable`: they stay in memory only. Nothing is pickled, so reading a file from a
shared folder never runs code.
"""

from __future__ import annotations

import gc
import hashlib
import struct
import sys
import zlib
from collections.abc import Callable
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import date, datetime, timedelta, timezone, tzinfo
from itertools import pairwise, repeat
from operator import attrgetter, itemgetter
from typing import Literal, cast
from zoneinfo import ZoneInfo

import numpy as np

__all__ = ["Unstorable", "BadEntry", "Head", "encode", "decode", "read_head", "HEAD_SIZE", "VERSION"]

MAGIC = b"QVBR"
VERSION = 1
_HEAD = struct.Struct("<4sH16sQdI")  # magic, version, checksum, records, stored at (Unix s), key bytes
_CHECKED_FROM = struct.calcsize("<4sH16s")  # the checksum covers what follows it
HEAD_SIZE = _HEAD.size
_COMPRESSION = 1  # zlib level: shuffled columns gain little from harder work
# What a decoded body may grow to. An entry is read from a file or server others may write to, so
# what it declares is checked against what it holds before anything is made: the body must carry
# at least a byte per value (records x fields; encode keeps no entry that does not), and it may not
# inflate beyond this (about 3 million bars of eight fields; a larger list stays in memory).
MAX_BODY = 1 << 28


class Unstorable(ValueError):
    """Records this layout cannot keep exactly."""


class BadEntry(ValueError):
    """Stored bytes that fail a check: damaged, from another format version, or under another key."""


@dataclass(frozen=True, slots=True)
class Head:
    version: int
    records: int
    stored_at: float
    key: str | None  # None when the head was cut before the key


# ---------------------------------------------------------------- entries


def encode(key: str, records: list, stored_at: float) -> bytes:
    key_bytes = key.encode()
    with _collector_paused():
        columns = _encode_columns(records)
    body = zlib.compress(columns, _COMPRESSION)
    checked = struct.pack("<QdI", len(records), stored_at, len(key_bytes)) + key_bytes + body
    return struct.pack("<4sH16s", MAGIC, VERSION, _checksum(checked)) + checked


def decode(key: str, blob: bytes) -> list:
    """The records stored under `key`; BadEntry when the entry fails any check."""
    head = read_head(blob)
    if head is None:
        raise BadEntry("not an entry of this format version")
    if head.key != key:
        raise BadEntry(f"holds {head.key!r}")
    if _checksum(memoryview(blob)[_CHECKED_FROM:]) != blob[_CHECKED_FROM - 16 : _CHECKED_FROM]:
        raise BadEntry("checksum mismatch")
    body = _inflate(memoryview(blob)[HEAD_SIZE + len(key.encode()) :])
    try:
        with _collector_paused(freeze=head.records >= FREEZE_FROM):
            return _decode_columns(_Reader(body), head.records)
    except Exception as exc:  # checked bytes that still do not read back: a miss all the same
        raise BadEntry(f"unreadable ({type(exc).__name__}: {exc})") from exc


def _inflate(compressed) -> bytes:
    inflater = zlib.decompressobj()
    try:
        body = inflater.decompress(compressed, MAX_BODY)
    except zlib.error as exc:
        raise BadEntry(f"unreadable ({exc})") from None
    if inflater.unconsumed_tail or not inflater.eof:
        raise BadEntry(f"inflates beyond {MAX_BODY:,} bytes, or ends early")
    return body


def read_head(blob: bytes) -> Head | None:
    """The head of an entry (a prefix of at least HEAD_SIZE bytes will do), or None if not one."""
    if len(blob) < HEAD_SIZE:
        return None
    magic, version, _, records, stored_at, key_size = _HEAD.unpack_from(blob)
    if magic != MAGIC or version != VERSION:
        return None
    key_bytes = bytes(blob[HEAD_SIZE : HEAD_SIZE + key_size])
    try:
        key = key_bytes.decode() if len(key_bytes) == key_size else None
    except UnicodeDecodeError:
        return None
    return Head(version, records, stored_at, key)


# Records from an entry this large are moved out of the collector's reach once made (gc.freeze):
# pandas Timestamps are tracked, so a million records would cost the next collection, on whatever
# thread it falls (the event loop's), most of a second.
FREEZE_FROM = 50_000


@contextmanager
def _collector_paused(freeze: bool = False):
    # Nothing made here can form a reference cycle, yet every tuple and dict made counts towards
    # a collection, and each collection rescans every record the process holds.
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if freeze:
            gc.freeze()
        if was_enabled:
            gc.enable()


def _checksum(data) -> bytes:
    return hashlib.blake2b(data, digest_size=16).digest()


# ---------------------------------------------------------------- records <-> columns


def _encode_columns(records: list) -> bytes:
    out = _Writer()
    names = _field_names(records)
    out.u32(len(names))
    for name in names:
        out.text(name)
        try:
            values = list(map(itemgetter(name), records))
        except KeyError:
            raise Unstorable("records differ in their fields") from None
        _encode_column(out, values)
    columns = out.bytes()
    if len(columns) < _values(len(records), len(names)):
        raise Unstorable("records too sparse to store (fields without values)")
    if len(columns) > MAX_BODY:
        raise Unstorable(f"{len(columns):,} bytes: more than an entry may hold")
    return columns


def _values(rows: int, fields: int) -> int:
    """The least number of bytes the columns of `rows` records of `fields` fields take."""
    return rows * max(1, fields)


def _decode_columns(data: _Reader, rows: int) -> list[dict]:
    names, columns = [], []
    fields = data.u32()
    if _values(rows, fields) > data.size:
        raise ValueError(f"declares {rows:,} records of {fields:,} fields in {data.size:,} bytes")
    for _ in range(fields):
        names.append(data.text())
        columns.append(_decode_column(data, rows))
    if not data.at_end():
        raise ValueError("trailing bytes after the columns")
    if not names:
        return [{} for _ in range(rows)]
    if tuple(names) == BAR_FIELDS:
        return _bar_records(columns)
    return list(map(dict, map(zip, repeat(names), zip(*columns, strict=True))))


# The fields of a bar record, in order: the layout nearly every entry has.
BAR_FIELDS = ("date", "open", "high", "low", "close", "volume", "average", "barCount")


def _bar_records(columns: list) -> list[dict]:
    # A dict display builds a record about three times as fast as dict(zip(names, row)).
    return [
        {"date": t, "open": o, "high": h, "low": lo, "close": c, "volume": v, "average": a, "barCount": n}
        for t, o, h, lo, c, v, a, n in zip(*columns, strict=True)
    ]


def _field_names(records: list) -> tuple:
    if not records:
        return ()
    if set(map(type, records)) != {dict}:
        raise Unstorable("records must be dicts")
    names = tuple(records[0])
    # Same size and (when the columns are read) every name present: the same fields.
    if set(map(len, records)) != {len(names)}:
        raise Unstorable("records differ in their fields")
    if set(map(type, names)) - {str}:
        raise Unstorable("field names must be text")
    return names


# ---------------------------------------------------------------- kinds


def _shuffled(array: np.ndarray) -> bytes:
    # Byte planes one after another: the high bytes of counts and times repeat and compress well.
    return array.view(np.uint8).reshape(-1, array.itemsize).T.tobytes()


def _unshuffled(data: memoryview, count: int, dtype: str) -> np.ndarray:
    planes = np.frombuffer(data, np.uint8).reshape(-1, count)
    return np.ascontiguousarray(planes.T).view(dtype).reshape(count)


def _deltas(values: np.ndarray) -> np.ndarray:
    # For times, which mostly step evenly. The differences wrap around on overflow, and so do
    # the sums that undo them, back to exactly the same integers.
    return np.diff(values, prepend=np.int64(0)) if len(values) else values


_STEP = 32_768  # values turned into Python objects at once: the GIL is held for a millisecond or so


def _as_list(array: np.ndarray) -> list:
    """array.tolist() in steps, so a thread waiting for the GIL (the event loop's) gets it between them."""
    if len(array) <= _STEP:
        return array.tolist()
    values: list = []
    for start in range(0, len(array), _STEP):
        values += array[start : start + _STEP].tolist()
    return values


def _encode_floats(values: list, detail: str) -> bytes:
    return np.array(values, dtype="<f8").tobytes()  # prices compress better unshuffled


def _decode_floats(data: memoryview, count: int, detail: str) -> list:
    return _as_list(np.frombuffer(data, "<f8", count))


def _encode_ints(values: list, detail: str) -> bytes:
    if detail == "text":
        return "\n".join(map(str, values)).encode()
    return _shuffled(np.array(values, dtype="<i8"))


def _decode_ints(data: memoryview, count: int, detail: str) -> list:
    if detail == "text":
        return list(map(int, str(data, "ascii").split("\n")))
    return _as_list(_unshuffled(data, count, "<i8"))


def _int_detail(values: list) -> str:
    # Integers beyond 64 bits (a bar count of 2**70 happens) are kept as decimal text.
    return "i8" if min(values) >= -(2**63) and max(values) < 2**63 else "text"


def _encode_bools(values: list, detail: str) -> bytes:
    return np.array(values, dtype=np.bool_).tobytes()


def _decode_bools(data: memoryview, count: int, detail: str) -> list:
    return _as_list(np.frombuffer(data, np.bool_, count))


def _encode_texts(values: list, detail: str) -> bytes:
    lengths = np.array(list(map(len, values)), dtype="<i8")
    return _Writer().block(lengths.tobytes()).block("".join(values).encode("utf-8", "surrogatepass")).bytes()


def _decode_texts(data: memoryview, count: int, detail: str) -> list:
    reader = _Reader(data)
    ends = np.frombuffer(reader.block(), "<i8", count).cumsum().tolist()
    text = bytes(reader.block()).decode("utf-8", "surrogatepass")
    if ends and ends[-1] != len(text):
        raise ValueError("text lengths do not add up")
    return [text[start:end] for start, end in pairwise([0, *ends])]


def _encode_nothing(values: list, detail: str) -> bytes:
    return b""


def _decode_nones(data: memoryview, count: int, detail: str) -> list:
    return [None] * count


_EPOCH_DAY = date(1970, 1, 1).toordinal()


def _encode_dates(values: list, detail: str) -> bytes:
    # Day numbers: numpy reads a list of dates a hundred times slower than their ordinals.
    days = np.fromiter(map(date.toordinal, values), np.int64, len(values)) - _EPOCH_DAY
    return _shuffled(_deltas(days))


def _decode_dates(data: memoryview, count: int, detail: str) -> list:
    return _as_list(np.cumsum(_unshuffled(data, count, "<i8")).view("datetime64[D]"))


def _encode_datetimes(values: list, detail: str) -> bytes:
    # Wall-clock time and fold; the zone is the kind's detail.
    walls = np.array([value.replace(tzinfo=None) for value in values], dtype="datetime64[us]")
    folds = np.array([value.fold for value in values], dtype=np.uint8)
    return _Writer().block(_shuffled(_deltas(walls.view("<i8")))).block(folds.tobytes()).bytes()


def _decode_datetimes(data: memoryview, count: int, detail: str) -> list:
    reader = _Reader(data)
    walls = _as_list(np.cumsum(_unshuffled(reader.block(), count, "<i8")).view("datetime64[us]"))
    folds = _as_list(np.frombuffer(reader.block(), np.uint8, count))
    zone = _zone(detail)
    return [wall.replace(tzinfo=zone, fold=fold) for wall, fold in zip(walls, folds, strict=True)]


def _encode_timestamps(values: list, detail: str) -> bytes:
    unit, _ = detail.split(" ", 1)
    import pandas as pd  # only a Timestamp column needs it, and the caller already has it

    return _shuffled(_deltas(pd.DatetimeIndex(values).as_unit(cast(_TimeUnit, unit)).asi8))


def _decode_timestamps(data: memoryview, count: int, detail: str) -> list:
    import pandas as pd

    unit, zone_text = detail.split(" ", 1)
    instants = pd.DatetimeIndex(np.cumsum(_unshuffled(data, count, "<i8")).view(f"datetime64[{unit}]"))
    zone = _zone(zone_text)
    if zone is not None:
        instants = instants.tz_localize("UTC").tz_convert(zone)
    return instants.tolist()


_FLOAT, _INT, _BOOL, _TEXT, _NONE, _DATE, _DATETIME, _TIMESTAMP = range(8)
_TimeUnit = Literal["s", "ms", "us", "ns"]  # a Timestamp's unit: the detail of a _TIMESTAMP kind begins with it
# Each kind's (encode(values, detail) -> bytes, decode(data, count, detail) -> values); a detail
# is what the kind needs beyond the type, such as a zone.
_CODERS: dict[int, tuple[Callable[[list, str], bytes], Callable[[memoryview, int, str], list]]] = {
    _FLOAT: (_encode_floats, _decode_floats),
    _INT: (_encode_ints, _decode_ints),
    _BOOL: (_encode_bools, _decode_bools),
    _TEXT: (_encode_texts, _decode_texts),
    _NONE: (_encode_nothing, _decode_nones),
    _DATE: (_encode_dates, _decode_dates),
    _DATETIME: (_encode_datetimes, _decode_datetimes),
    _TIMESTAMP: (_encode_timestamps, _decode_timestamps),
}
_PLAIN_TAGS = {float: _FLOAT, int: _INT, bool: _BOOL, str: _TEXT, type(None): _NONE, date: _DATE}


def _is_timestamp_type(cls: type) -> bool:
    pandas = sys.modules.get("pandas")  # records cannot hold Timestamps unless pandas is loaded
    return pandas is not None and cls is pandas.Timestamp


def _kind_of(value) -> tuple[int, str]:
    """The (tag, detail) of one value; Unstorable for a value of no kind."""
    cls = type(value)
    tag = _PLAIN_TAGS.get(cls)
    if tag is not None:
        return tag, ""
    if cls is datetime:
        return _DATETIME, _zone_text(value.tzinfo)
    if _is_timestamp_type(cls):
        return _TIMESTAMP, f"{value.unit} {_zone_text(value.tzinfo)}"
    raise Unstorable(f"no stored form for {cls.__module__}.{cls.__qualname__}")


def _column_kinds(values: list) -> list[tuple[int, str]]:
    """Each row's (tag, detail), or a single one for a column of one kind."""
    types = set(map(type, values))
    if len(types) == 1:  # the common case, told apart without a call per value
        cls = types.pop()
        if cls in _PLAIN_TAGS:
            return [(_PLAIN_TAGS[cls], "")]
        if cls is datetime or _is_timestamp_type(cls):
            details = attrgetter("tzinfo") if cls is datetime else attrgetter("unit", "tzinfo")
            try:
                found = set(map(details, values))
            except TypeError:  # a zone that cannot be hashed
                found = set()
            # Fixed offsets are equal whatever their names: those columns take the long way.
            if len(found) == 1 and type(values[0].tzinfo) is not timezone:
                return [_kind_of(values[0])]
    return list(map(_kind_of, values))


def _encode_column(out: _Writer, values: list) -> None:
    row_kinds = _column_kinds(values)
    kinds = list(dict.fromkeys(row_kinds))
    groups = {kind: values for kind in kinds} if len(kinds) == 1 else _group(values, row_kinds, kinds)
    details = {kind: _int_detail(group) if kind[0] == _INT else kind[1] for kind, group in groups.items()}
    out.u8(len(kinds))
    for kind in kinds:
        out.u8(kind[0]).text(details[kind])
    if len(kinds) > 1:
        index = {kind: i for i, kind in enumerate(kinds)}
        out.block(np.array([index[kind] for kind in row_kinds], dtype=np.uint8).tobytes())
    for kind in kinds:
        out.block(_CODERS[kind[0]][0](groups[kind], details[kind]))


def _group(values: list, row_kinds: list, kinds: list) -> dict:
    groups: dict[tuple[int, str], list] = {kind: [] for kind in kinds}
    for value, kind in zip(values, row_kinds, strict=True):
        groups[kind].append(value)
    return groups


def _decode_column(data: _Reader, rows: int) -> list:
    kinds = [(data.u8(), data.text()) for _ in range(data.u8())]
    if not kinds:
        raise ValueError("a column without kinds")
    tags = np.frombuffer(data.block(), np.uint8, rows) if len(kinds) > 1 else None
    counts = np.bincount(tags, minlength=len(kinds)).tolist() if tags is not None else [rows]
    if len(counts) != len(kinds):
        raise ValueError("a row tag names no kind")
    groups = [_CODERS[tag][1](data.block(), count, detail) for (tag, detail), count in zip(kinds, counts, strict=True)]
    if any(len(group) != count for group, count in zip(groups, counts, strict=True)):
        raise ValueError("a column holds the wrong number of values")
    if tags is None:
        return groups[0]
    column = [None] * rows
    for i, group in enumerate(groups):
        for row, value in zip(np.flatnonzero(tags == i).tolist(), group, strict=True):
            column[row] = value
    return column


# ---------------------------------------------------------------- time zones


def _zone_text(zone: tzinfo | None) -> str:
    """A zone as text that `_zone` turns back into the very same zone."""
    if zone is None:
        return ""
    if type(zone) is ZoneInfo and zone.key and ZoneInfo(zone.key) is zone:
        return zone.key
    if type(zone) is timezone and repr(zone) == repr(timezone(zone.utcoffset(None))):  # no name of its own
        return f"{zone.utcoffset(None) // timedelta(microseconds=1):+d}us"
    raise Unstorable(f"no stored form for the zone {zone!r}")


def _zone(text: str) -> tzinfo | None:
    if not text:
        return None
    if text.endswith("us") and text[0] in "+-":
        return timezone(timedelta(microseconds=int(text[:-2])))
    return ZoneInfo(text)


# ---------------------------------------------------------------- bytes


class _Writer:
    def __init__(self) -> None:
        self._parts: list[bytes] = []

    def u8(self, value: int) -> _Writer:
        self._parts.append(struct.pack("<B", value))
        return self

    def u32(self, value: int) -> _Writer:
        self._parts.append(struct.pack("<I", value))
        return self

    def block(self, data: bytes) -> _Writer:
        self._parts += (struct.pack("<Q", len(data)), data)
        return self

    def text(self, value: str) -> _Writer:
        return self.block(value.encode("utf-8", "surrogatepass"))

    def bytes(self) -> bytes:
        return b"".join(self._parts)


class _Reader:
    def __init__(self, data: bytes | memoryview) -> None:
        self._data = memoryview(data)
        self._at = 0

    @property
    def size(self) -> int:
        return len(self._data)

    def _take(self, size: int) -> memoryview:
        if size > len(self._data) - self._at:
            raise ValueError("entry ends early")
        part = self._data[self._at : self._at + size]
        self._at += size
        return part

    def u8(self) -> int:
        return self._take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self._take(4))[0]

    def block(self) -> memoryview:
        return self._take(struct.unpack("<Q", self._take(8))[0])

    def text(self) -> str:
        return bytes(self.block()).decode("utf-8", "surrogatepass")

    def at_end(self) -> bool:
        return self._at == len(self._data)
