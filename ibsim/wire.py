"""TWS API framing: length-prefixed messages of NUL-terminated text fields."""

import asyncio
import struct

HANDSHAKE_PREFIX = b"API\0"
# A message larger than this is a broken or hostile peer, not a TWS client.
MAX_MESSAGE_SIZE = 16 * 1024 * 1024


def encode_field(value) -> str:
    """Render one field the way the gateway does: booleans as 1/0, None as empty."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def frame(fields) -> bytes:
    """One message: 4-byte big-endian length, then each field followed by NUL."""
    payload = "".join(encode_field(f) + "\0" for f in fields).encode()
    return struct.pack(">I", len(payload)) + payload


def split_fields(payload: bytes) -> list[str]:
    fields = payload.decode(errors="backslashreplace").split("\0")
    if fields and fields[-1] == "":
        fields.pop()
    return fields


async def read_message(reader: asyncio.StreamReader) -> list[str]:
    """Read one framed message; raises IncompleteReadError when the peer leaves."""
    header = await reader.readexactly(4)
    (size,) = struct.unpack(">I", header)
    if size > MAX_MESSAGE_SIZE:
        raise ValueError(f"message of {size} bytes exceeds the limit")
    return split_fields(await reader.readexactly(size))


async def read_handshake(reader: asyncio.StreamReader) -> str:
    """Read the client hello `API\\0` + framed "v<min>..<max>[ options]"."""
    prefix = await reader.readexactly(len(HANDSHAKE_PREFIX))
    if prefix != HANDSHAKE_PREFIX:
        raise ValueError(f"not a TWS API client (hello {prefix!r})")
    header = await reader.readexactly(4)
    (size,) = struct.unpack(">I", header)
    if size > 1024:
        raise ValueError("oversized client hello")
    return (await reader.readexactly(size)).decode(errors="replace")


def parse_version_range(hello: str) -> tuple[int, int]:
    """ "v157..178 +PACEAPI" -> (157, 178); a single "v176" -> (176, 176)."""
    text = hello.split(" ", 1)[0].lstrip("v")
    low, _, high = text.partition("..")
    return int(low), int(high or low)
