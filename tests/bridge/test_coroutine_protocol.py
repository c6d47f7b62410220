"""C++ coroutines as asyncio sees them: the coroutine protocol, values and
exceptions crossing the C++ frame in both directions, cancellation, nesting."""

import asyncio
import collections.abc
import inspect
import sys
import traceback
import types

import pytest

import quorvane.cmds.quotes.kline as kline
from support.bridge_probes import Marker, step_to_end, suspend

IOpKline = kline.IOpKline


def returning(value):
    async def inner(rest):
        await asyncio.sleep(0)
        return value

    return inner


async def first_gathered(coro):
    return (await asyncio.gather(coro))[0]


@pytest.mark.parametrize(
    "entry",
    [asyncio.create_task, asyncio.ensure_future, first_gathered, lambda coro: asyncio.wait_for(coro, timeout=5)],
    ids=["create_task", "ensure_future", "gather", "wait_for"],
)
async def test_asyncio_accepts_the_coroutine_object(command, entry):
    command._kline_yfinance = returning(marker := Marker())
    coro = command._run_yfinance([])
    assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
    assert all(callable(getattr(coro, name)) for name in ("__await__", "send", "throw", "close"))
    assert await entry(coro) is marker


def test_asyncio_run_accepts_the_coroutine_object(command):
    command._kline_yfinance = returning(marker := Marker())
    assert asyncio.run(command._run_yfinance([])) is marker


@pytest.mark.parametrize(
    "check", [asyncio.iscoroutinefunction, inspect.iscoroutinefunction], ids=["asyncio", "inspect"]
)
def test_run_is_a_coroutine_function_that_binds_like_a_method(command, check):
    method = command.run
    assert check(IOpKline.run) and check(method)
    assert isinstance(method, types.MethodType)
    assert method.__func__ is IOpKline.__dict__["run"] and method.__self__ is command


@pytest.mark.parametrize(
    "name, text",
    [
        ("run", "(self) -> 'dict'"),
        ("_history", "(self, contract: 'Contract', rest: 'list[str]') -> 'dict'"),
        ("_yf_history", "(self, **kwargs) -> 'pd.DataFrame | None'"),
    ],
    ids=["run", "_history", "_yf_history"],
)
def test_coroutine_method_signature(name, text):
    assert str(inspect.signature(getattr(IOpKline, name))) == text


@pytest.mark.parametrize(
    "value",
    [Marker(), (1, 2), (), None, StopIteration("as a value")],
    ids=["object", "pair", "empty tuple", "None", "exception object"],
)
def test_values_cross_the_frame_unchanged_both_ways(command, value):
    async def inner(rest):
        return (await suspend("ready"), value)

    command._kline_yfinance = inner
    coro, sent = command._run_yfinance([]), Marker()
    assert coro.send(None) == "ready"
    with pytest.raises(StopIteration) as stop:
        coro.send(sent)
    assert stop.value.value[0] is sent and stop.value.value[1] is value


async def test_future_result_crosses_the_frame(command):
    loop = asyncio.get_running_loop()
    future, marker = loop.create_future(), Marker()
    loop.call_soon(future.set_result, marker)
    command._kline_yfinance = lambda rest: future
    assert await command._run_yfinance([]) is marker


def _chained(error):
    error.__cause__ = KeyError("root cause")
    return error


@pytest.mark.parametrize(
    "error",
    [
        _chained(ValueError("bad bars")),
        KeyboardInterrupt(),
        SystemExit(3),
        asyncio.CancelledError("stop"),
        GeneratorExit(),
    ],
    ids=["ordinary with cause", "KeyboardInterrupt", "SystemExit", "CancelledError", "GeneratorExit"],
)
def test_inner_exception_arrives_as_the_same_object(command, error):
    async def failing_inner(rest):
        await suspend()
        raise error

    command._kline_yfinance = failing_inner
    with pytest.raises(BaseException) as raised:
        step_to_end(command._run_yfinance([]))
    assert raised.value is error and raised.value.__cause__ is error.__cause__
    assert "failing_inner" in [frame.name for frame in traceback.extract_tb(error.__traceback__)]


STOP = StopIteration("leak")


async def stop_in_python(rest):  # Python converts it already; the bridge passes that on
    raise STOP


def stop_in_cpp(rest):  # raised while the C++ body makes the call: the bridge converts it
    raise STOP


@pytest.mark.parametrize(
    "inner, error, message",
    [
        (stop_in_python, RuntimeError, "coroutine raised StopIteration"),
        (stop_in_cpp, RuntimeError, "coroutine raised StopIteration"),
        (lambda rest: 42, TypeError, "object int can't be used in 'await' expression"),
    ],
    ids=["StopIteration in a Python coroutine", "StopIteration in the C++ frame", "not awaitable"],
)
def test_errors_made_by_the_await_itself(command, inner, error, message):
    command._kline_yfinance = inner
    with pytest.raises(error, match=message) as raised:
        step_to_end(command._run_yfinance([]))
    assert error is not RuntimeError or raised.value.__cause__ is STOP


@pytest.mark.parametrize(
    "misuse, error, message",
    [
        (lambda coro: coro.send(1), TypeError, "can't send non-None value to a just-started coroutine"),
        (lambda coro: coro.throw(LookupError("early")), LookupError, "early"),
        (lambda coro: (asyncio.run(coro), coro.send(None)), RuntimeError, "cannot reuse already awaited"),
        (lambda coro: (asyncio.run(coro), asyncio.run(coro)), RuntimeError, "cannot reuse already awaited"),
    ],
    ids=["value sent to a fresh one", "thrown into a fresh one", "sent to a finished one", "awaited again"],
)
def test_misuse_is_refused_like_native_coroutines(command, misuse, error, message):
    calls = []
    command._kline_yfinance = lambda rest: calls.append(rest) or asyncio.sleep(0)
    coro = command._run_yfinance([])
    with pytest.raises(error, match=message):
        misuse(coro)
    assert len(calls) == (error is RuntimeError)  # nothing ran before a refusal
    coro.close()


@pytest.mark.parametrize("ending", ["return", "close"])
def test_inspect_reads_the_state_as_for_a_native_coroutine(command, ending):
    seen = {}

    async def inner(rest):
        seen["while running"] = inspect.getcoroutinestate(seen["coro"])
        return await suspend()

    async def native(rest):  # what _run_yfinance does, written in Python
        return await inner(rest)

    def states(coro):
        seen["coro"] = coro
        found = [inspect.getcoroutinestate(coro), coro.cr_suspended]
        coro.send(None)
        found += [seen["while running"], inspect.getcoroutinestate(coro), coro.cr_suspended]
        coro.close() if ending == "close" else step_to_end(coro)
        return [*found, inspect.getcoroutinestate(coro), coro.cr_suspended]

    command._kline_yfinance = inner
    assert (
        states(command._run_yfinance([]))
        == states(native([]))
        == [inspect.CORO_CREATED, False, inspect.CORO_RUNNING, inspect.CORO_SUSPENDED, True, inspect.CORO_CLOSED, False]
    )


@pytest.mark.parametrize("depth", [0, 3])
def test_origin_is_recorded_as_for_a_native_coroutine(command, depth):
    async def native():
        pass

    previous = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(depth)
    try:
        ours, theirs = command._run_yfinance([]), native()  # one line: the same origin
    finally:
        sys.set_coroutine_origin_tracking_depth(previous)
    ours.close(), theirs.close()
    assert ours.cr_origin == theirs.cr_origin
    assert ours.cr_origin is None if depth == 0 else len(ours.cr_origin) == depth


@pytest.mark.parametrize("handled", [True, False], ids=["inner recovers", "inner lets it pass"])
def test_throw_is_forwarded_to_the_awaited_coroutine(command, handled):
    error = LookupError("thrown in")

    async def inner(rest):
        try:
            await suspend()
        except LookupError as caught:
            if not handled:
                raise
            return ("recovered", caught)

    command._kline_yfinance = inner
    coro = command._run_yfinance([])
    coro.send(None)
    with pytest.raises(StopIteration if handled else LookupError) as raised:
        coro.throw(error)
    if handled:
        assert raised.value.value == ("recovered", error)
    else:
        assert raised.value is error


@pytest.mark.parametrize("action", ["send", "throw", "close"])
async def test_reentering_a_running_coroutine_is_refused(command, action):
    outer, seen = {}, []

    async def inner(rest):
        try:
            {
                "send": lambda c: c.send(None),
                "throw": lambda c: c.throw(KeyError("again")),
                "close": lambda c: c.close(),
            }[action](outer["coro"])
        except ValueError as refusal:
            seen.append(str(refusal))
        return "finished"

    command._kline_yfinance = inner
    outer["coro"] = command._run_yfinance([])
    assert await outer["coro"] == "finished"
    assert seen == ["coroutine already executing"]


async def test_cancel_forwards_into_the_awaited_future(command):
    never, seen = asyncio.get_running_loop().create_future(), []

    async def inner(rest):
        try:
            await never
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    command._kline_yfinance = inner
    task = asyncio.create_task(command._run_yfinance([]))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(task, timeout=5)
    assert never.cancelled() and seen == ["cancelled"]


@pytest.mark.parametrize("outcome", ["value", "error", "cancel"])
async def test_nested_cpp_and_python_coroutines(command, outcome):
    """run -> _run_yfinance -> Python _kline_yfinance -> _run_yfinance("intraday")
    -> Python _intraday_yfinance, which waits on a future."""
    deepest = asyncio.get_running_loop().create_future()
    marker, error = Marker(), OSError("deep failure")

    async def kline_yfinance(rest):
        return ("outer", await command._run_yfinance(["intraday"]))

    async def intraday_yfinance():
        return await deepest

    command._kline_yfinance, command._intraday_yfinance = kline_yfinance, intraday_yfinance
    task = asyncio.create_task(command.run())
    await asyncio.sleep(0)
    {"value": lambda: deepest.set_result(marker), "error": lambda: deepest.set_exception(error), "cancel": task.cancel}[
        outcome
    ]()
    if outcome == "value":
        assert await asyncio.wait_for(task, 5) == ("outer", marker)
        return
    with pytest.raises(OSError if outcome == "error" else asyncio.CancelledError) as raised:
        await asyncio.wait_for(task, 5)
    assert raised.value is error if outcome == "error" else deepest.cancelled()
