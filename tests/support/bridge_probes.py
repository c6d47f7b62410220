"""Small probes shared by the bridge tests."""

import types


class Marker:
    """A plain object whose identity and lifetime the tests follow."""


@types.coroutine
def suspend(token="tick"):
    """Suspends once without an event loop; resumes with whatever send() gives."""
    return (yield token)


def step_to_end(coro):
    """Drives a coroutine that only suspends on `suspend()`, returning its result."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value
