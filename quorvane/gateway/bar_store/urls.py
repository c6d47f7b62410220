"""Store URLs: whether one can be used, and how it is shown (never with its password)."""

from __future__ import annotations

import re

SQLITE = "sqlite://"
REDIS = ("redis://", "rediss://", "unix://")
MEMORY = "memory:"
_PASSWORD_PARAMETER = re.compile(r"(^|&)(password=)[^&]*")


def url_problem(url: str) -> str | None:
    """Why `url` names no store this version can open, or None when it does.

    A Redis URL is read by redis's own parser, the one its client uses, so what passes here
    connects (or fails as a server that does not answer), and never fails as a URL later."""
    if url == MEMORY:
        return None
    if url.startswith(SQLITE):
        return None if url[len(SQLITE) :].strip("/") else "no file named"
    if url.startswith(REDIS):
        from redis.connection import parse_url  # only for a Redis store, which loads redis anyway

        try:
            parse_url(url)
        except ValueError as exc:  # its messages name the part, never the password
            return str(exc)
        return None
    return f"expected {MEMORY}, {SQLITE}/path or redis://host:port/db"


def without_password(url: str) -> str:
    """`url` for messages: a password in it (user:PASSWORD@ or ?password=) shown as ***.

    Works on any text, a malformed or mistyped URL included, since that is when it is shown."""
    head, question, query = url.partition("?")
    scheme, slashes, rest = head.partition("//")
    if slashes and "@" in rest:
        userinfo, _, host = rest.rpartition("@")
        user, colon, _ = userinfo.partition(":")
        if colon:
            rest = f"{user}:***@{host}"
    return scheme + slashes + rest + question + _PASSWORD_PARAMETER.sub(r"\1\2***", query)
