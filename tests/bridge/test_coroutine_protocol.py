"""C++ coroutines as asyncio sees them: the coroutine protocol, values and
exceptions crossing the C++ frame in both directions, cancellation, nesting."""
import asyncio
import collections.abc
import inspect
import traceback
import types

import pytest

import quorvane.cmds.quotes.kline as kline
from bridge_probes import Marker, step_to_end, suspend

IOpKline = kline.IOpKline


def test_coroutine_object_passes_every_protocol_check(command):
    coro = command._run_yfinance([])
    assert asyncio.iscoroutine(coro)
    assert isinstance(coro, collections.abc.Coroutine)
    assert all(callable(getattr(coro, name)) for name in ("__await__", "send", "throw", "close"))
    coro.close()


def _inner_returns(value):
    async def inner(rest):
        await asyncio.sleep(0)
        return value
    return inner


ENTRY_POINTS = {
    "create_task": lambda coro: asyncio.create_task(coro),
    "ensure_future": lambda coro: asyncio.ensure_future(coro),
    "gather": lambda coro: _first(asyncio.gather(coro)),
    "wait_for": lambda coro: asyncio.wait_for(coro, timeout=5),
}


async def _first(gathering):
    return (await gathering)[0]


@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
async def test_asyncio_schedules_it(command, entry):
    marker = Marker()
    command._kline_yfinance = _inner_returns(marker)
    assert await entry(command._run_yfinance([])) is marker


def test_asyncio_run_accepts_it(command):
    marker = Marker()
    command._kline_yfinance = _inner_returns(marker)
    assert asyncio.run(command._run_yfinance([])) is marker


@pytest.mark.parametrize("check", [asyncio.iscoroutinefunction, inspect.iscoroutinefunction],
                         ids=["asyncio", "inspect"])
@pytest.mark.parametrize("bound", [False, True], ids=["on the class", "bound"])
def test_run_is_a_coroutine_function(command, check, bound):
    assert check(command.run if bound else IOpKline.run)


def test_run_binds_like_a_python_method(command):
    method = command.run
    assert isinstance(method, types.MethodType)
    assert method.__func__ is IOpKline.__dict__["run"]
    assert method.__self__ is command


@pytest.mark.parametrize("name, text", [
    ("run", "(self) -> 'dict'"),
    ("_history", "(self, contract: 'Contract', rest: 'list[str]') -> 'dict'"),
    ("_yf_history", "(self, **kwargs) -> 'pd.DataFrame | None'"),
], ids=["run", "_history", "_yf_history"])
def test_coroutine_method_signature(name, text):
    assert str(inspect.signature(getattr(IOpKline, name))) == text


# ---------------------------------------------------------------- values

@pytest.mark.parametrize("value", [Marker(), (1, 2), (), None, [3], StopIteration("as a value")],
                         ids=["object", "pair", "empty tuple", "None", "list", "exception object"])
def test_inner_result_comes_out_unchanged(command, value):
    async def inner(rest):
        await suspend()
        return value
    command._kline_yfinance = inner
    assert step_to_end(command._run_yfinance([])) is value


def test_sent_value_reaches_the_inner_await_and_returns(command):
    async def inner(rest):
        return ("got", await suspend("ready"))
    command._kline_yfinance = inner
    marker = Marker()
    coro = command._run_yfinance([])
    assert coro.send(None) == "ready"
    with pytest.raises(StopIteration) as stop:
        coro.send(marker)
    assert stop.value.value == ("got", marker)


async def test_future_result_crosses_the_frame(command):
    marker = Marker()
    future = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(future.set_result, marker)

    async def inner(rest):
        return await future
    command._kline_yfinance = inner
    assert await command._run_yfinance([]) is marker


# ---------------------------------------------------------------- exceptions

def _chained(error):
    error.__cause__ = KeyError("root cause")
    return error


@pytest.mark.parametrize("error", [
    _chained(ValueError("bad bars")), KeyboardInterrupt(), SystemExit(3),
    asyncio.CancelledError("stop"), GeneratorExit(),
], ids=["ordinary with cause", "KeyboardInterrupt", "SystemExit", "CancelledError", "GeneratorExit"])
def test_inner_exception_arrives_as_the_same_object(command, error):
    async def failing_inner(rest):
        await suspend()
        raise error
    command._kline_yfinance = failing_inner
    with pytest.raises(BaseException) as raised:
        step_to_end(command._run_yfinance([]))
    assert raised.value is error
    assert raised.value.__cause__ is error.__cause__
    assert "failing_inner" in [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def test_stop_iteration_in_python_inner_is_runtime_error(command):
    stop = StopIteration("leak")

    async def inner(rest):
        raise stop
    command._kline_yfinance = inner
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        step_to_end(command._run_yfinance([]))
    assert raised.value.__cause__ is stop


def test_stop_iteration_raised_inside_the_cpp_frame_is_runtime_error(command):
    stop = StopIteration("from a plain call")

    def not_a_coroutine(rest):  # raises while the C++ body makes the call
        raise stop
    command._kline_yfinance = not_a_coroutine
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        step_to_end(command._run_yfinance([]))
    assert raised.value.__cause__ is stop


def test_awaiting_a_non_awaitable_is_type_error(command):
    command._kline_yfinance = lambda rest: 42
    with pytest.raises(TypeError, match="object int can't be used in 'await' expression"):
        step_to_end(command._run_yfinance([]))


def test_fresh_coroutine_refuses_a_value(command):
    coro = command._run_yfinance([])
    with pytest.raises(TypeError, match="non-None value"):
        coro.send(1)
    coro.close()


@pytest.mark.parametrize("reuse", [lambda c: c.send(None), lambda c: asyncio.run(c)],
                         ids=["send", "asyncio.run"])
def test_finished_coroutine_cannot_be_reused(command, reuse):
    command._kline_yfinance = lambda rest: asyncio.sleep(0, "done")
    coro = command._run_yfinance([])
    assert asyncio.run(coro) == "done"
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        reuse(coro)


def test_throw_before_start_raises_and_ends_it(command):
    called = []
    command._kline_yfinance = lambda rest: called.append(rest)
    coro = command._run_yfinance([])
    error = KeyError("early")
    with pytest.raises(KeyError) as raised:
        coro.throw(error)
    assert raised.value is error and called == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


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
    if handled:
        with pytest.raises(StopIteration) as stop:
            coro.throw(error)
        assert stop.value.value == ("recovered", error)
    else:
        with pytest.raises(LookupError) as raised:
            coro.throw(error)
        assert raised.value is error


@pytest.mark.parametrize("action", ["send", "throw", "close"])
async def test_reentering_a_running_coroutine_is_refused(command, action):
    outer = {}
    seen = []

    async def inner(rest):
        try:
            {"send": lambda c: c.send(None), "throw": lambda c: c.throw(KeyError("again")),
             "close": lambda c: c.close()}[action](outer["coro"])
        except ValueError as refusal:
            seen.append(str(refusal))
        return "finished"
    command._kline_yfinance = inner
    outer["coro"] = command._run_yfinance([])
    assert await outer["coro"] == "finished"
    assert seen == ["coroutine already executing"]


# ---------------------------------------------------------------- cancellation

async def test_cancel_forwards_into_the_awaited_future(command):
    loop = asyncio.get_running_loop()
    never = loop.create_future()
    seen = []

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


# ---------------------------------------------------------------- nesting

@pytest.mark.parametrize("outcome", ["value", "error", "cancel"])
async def test_nested_cpp_and_python_coroutines(command, outcome):
    """run -> _run_yfinance -> Python _kline_yfinance -> _run_yfinance("intraday")
    -> Python _intraday_yfinance, which waits on a future."""
    loop = asyncio.get_running_loop()
    deepest = loop.create_future()
    marker, error = Marker(), OSError("deep failure")

    async def kline_yfinance(rest):
        return ("outer", await command._run_yfinance(["intraday"]))

    async def intraday_yfinance():
        return await deepest
    command._kline_yfinance, command._intraday_yfinance = kline_yfinance, intraday_yfinance
    task = asyncio.create_task(command.run())
    await asyncio.sleep(0)
    {"value": lambda: deepest.set_result(marker), "error": lambda: deepest.set_exception(error),
     "cancel": task.cancel}[outcome]()
    if outcome == "value":
        assert await asyncio.wait_for(task, 5) == ("outer", marker)
        return
    with pytest.raises(OSError if outcome == "error" else asyncio.CancelledError) as raised:
        await asyncio.wait_for(task, 5)
    assert raised.value is error if outcome == "error" else deepest.cancelled()
