"""A clock that stands still until a test moves it."""


class FakeClock:
    """Called like `time.monotonic`; a test advances it by setting `now`."""

    def __init__(self, now: float = 1000.0):
        self.now = now

    def __call__(self) -> float:
        return self.now
