"""Writing to the terminal's streams the way command-line tools do.

When the reader of a pipe goes away (`... | head -1`), writing stops quietly:
the stream's descriptor is pointed at the null device, so later writes and the
interpreter's final flush succeed without output, and `closed(stream)` tells the
caller, which may then exit with the shell's closed-pipe status.
"""

from __future__ import annotations

import os
import sys
from typing import IO

# Descriptors whose reader went away.
_closed_fds: set[int] = set()


def write(text: str, stream: IO[str] | None = None) -> bool:
    """Write and flush `text`; False (and nothing raised) when the reader is gone."""
    stream = sys.stdout if stream is None else stream
    if closed(stream):
        return False
    try:
        stream.write(text)
        stream.flush()
    except BrokenPipeError:
        _silence(stream)
        return False
    return True


def closed(stream: IO[str] | None = None) -> bool:
    """Whether the reader of `stream` (stdout) went away."""
    fd = _fileno(sys.stdout if stream is None else stream)
    return fd is not None and fd in _closed_fds


def _silence(stream: IO[str]) -> None:
    fd = _fileno(stream)
    if fd is None:
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)
    _closed_fds.add(fd)


def _fileno(stream: IO[str]) -> int | None:
    try:
        return stream.fileno()
    except (AttributeError, OSError, ValueError):  # in-memory, detached or closed streams
        return None
