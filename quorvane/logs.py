"""Whose log lines are whose: quorvane used as a library prints nothing until its caller asks.

loguru's convention for libraries: the package disables its own lines at import, and an
application that wants them calls `logger.enable("quorvane")` (the command line does).
Libraries that log through `logging` (yfinance, ib_async) get a NullHandler, so without a
handler of the caller's their errors are not printed by Python's last-resort handler.
"""

from __future__ import annotations

import logging

from loguru import logger

HOST = "quorvane"
QUIET_LIBRARIES = ("yfinance", "ib_async")


def quiet_as_library() -> None:
    logger.disable(HOST)
    for name in QUIET_LIBRARIES:
        library = logging.getLogger(name)
        if not any(isinstance(h, logging.NullHandler) for h in library.handlers):
            library.addHandler(logging.NullHandler())


def enable() -> None:
    logger.enable(HOST)


class CommandLogger:
    """loguru's logger as a command module calls it, its lines counted as quorvane's own.

    loguru names a line after the Python frame that logs it. A line of an extension module logged
    on a worker thread (a failed download) has no quorvane frame beneath it; through this logger
    it does, so enabling or disabling "quorvane" covers it too.
    """

    def debug(self, message: str, *args, **kwargs) -> None:
        logger.debug(message, *args, **kwargs)

    def info(self, message: str, *args, **kwargs) -> None:
        logger.info(message, *args, **kwargs)

    def warning(self, message: str, *args, **kwargs) -> None:
        logger.warning(message, *args, **kwargs)

    def error(self, message: str, *args, **kwargs) -> None:
        logger.error(message, *args, **kwargs)

    def __getattr__(self, name: str):
        return getattr(logger, name)
