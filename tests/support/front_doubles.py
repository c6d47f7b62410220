"""Stand-ins around `run`: the host state and a command whose callees record their calls."""

import quorvane.cmds.quotes.kline as kline


class State:
    """The host state: a gateway flag and a symbol resolution that answers `resolution`
    (raised when it is an exception)."""

    def __init__(self, connected=True, resolution=None):
        self.connected, self.resolution, self.asked = connected, resolution, []

    async def positionalQuoteRepopulate(self, symbol):
        self.asked.append(symbol)
        if isinstance(self.resolution, BaseException):
            raise self.resolution
        return self.resolution


class Recorder(kline.IOpKline):
    """IOpKline whose gateway coroutines and fallback are Python stand-ins.

    `outcomes` maps a callee name to what it gives back, in turn when a list: a value
    is returned as it is, an exception is raised. Each call records (name, args, symbol)."""

    def _answer(self, name, *args):
        # Set up by make_command; a host-built object starts without them.
        self.__dict__.setdefault("calls", []).append((name, args, self.symbol))
        outcome = self.__dict__.get("outcomes", {}).get(name)
        if outcome is None:
            return {"served_by": name, "symbol": self.symbol, "args": args}
        if isinstance(outcome, list):
            outcome = outcome.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    async def _kline(self, contract, rest):
        return self._answer("_kline", contract, rest)

    async def _history(self, contract, rest):
        return self._answer("_history", contract, rest)

    async def _intraday(self, contract):
        return self._answer("_intraday", contract)

    async def _run_yfinance(self, rest):
        return self._answer("_run_yfinance", rest)


def make_command(symbol="AAPL", rest=(), state=None, **outcomes):
    cmd = Recorder(state=state)
    cmd.symbol, cmd.rest = symbol, list(rest)
    cmd.outcomes = {name: list(o) if isinstance(o, list) else o for name, o in outcomes.items()}
    cmd.calls = []
    return cmd
