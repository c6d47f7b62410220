"""Telling Ctrl-C apart from a failure it caused (kept free of imports: the entry point uses it first)."""

EXIT_INTERRUPTED = 130  # 128 + SIGINT


def interrupted(error: BaseException | None) -> bool:
    """Ctrl-C, or a failure it caused: numpy and the extension report an interrupted import as ImportError."""
    while error is not None:
        if isinstance(error, KeyboardInterrupt):
            return True
        error = error.__cause__ or error.__context__
    return False
