"""Command-line entry: run one terminal command, e.g. `python -m quorvane kline AAPL day 100 --sim`."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import sys

from loguru import logger

from quorvane.cmds.base import run_command
from quorvane.state import HostState

# Modules whose import registers the commands this runner offers.
COMMAND_MODULES = ("quorvane.cmds.quotes.kline",)
SIM_HOST = "127.0.0.1"


def main(argv: list[str] | None = None) -> int:
    args = _parse_args(argv)
    if not _load_commands():
        return 2
    try:
        return asyncio.run(_session(args))
    except KeyboardInterrupt:
        return 130


def _parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="quorvane", description="Run one quorvane terminal command.")
    parser.add_argument("words", nargs="+", help="the command line, e.g. kline AAPL day 100")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--sim", action="store_true", help="serve from the bundled gateway simulator")
    source.add_argument("--gateway", type=_host_port, metavar="HOST:PORT", help="connect to this IBKR gateway")
    parser.add_argument("--client-id", type=int, default=1, help="API client id (default 1)")
    return parser.parse_intermixed_args(argv)


def _host_port(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


def _load_commands() -> bool:
    for name in COMMAND_MODULES:
        try:
            module = importlib.import_module(name)
        except Exception as exc:  # a broken build can fail in many ways; report each the same
            print(f"quorvane: cannot load {name}: {type(exc).__name__}: {exc}", file=sys.stderr)
            return False
        if getattr(module, "__file__", None) is None:
            # An unbuilt extension's source folder imports as an empty namespace package.
            print(f"quorvane: cannot load {name}: not built (found only {list(module.__path__)})", file=sys.stderr)
            return False
    return True


async def _session(args: argparse.Namespace) -> int:
    state = HostState()
    sim = None
    try:
        if args.sim:
            sim, port = await _start_simulator()
            if sim is None:
                return 2
            await state.connect(SIM_HOST, port, args.client_id)
        elif args.gateway:
            await state.connect(*args.gateway, args.client_id)
        record = await _run(args.words, state)
    finally:
        state.disconnect()
        if sim is not None:
            await sim.stop()
    print(summary(args.words, record))
    return 1 if not isinstance(record, dict) or "error" in record else 0


async def _start_simulator() -> tuple[object | None, int]:
    """The simulator serving on a free loopback port, or (None, 0) after one error line."""
    try:
        from ibsim import GatewaySimulator  # only --sim needs it

        sim = GatewaySimulator()
        return sim, await sim.start(SIM_HOST, 0)
    except (ImportError, OSError) as exc:
        print(f"quorvane: cannot start the gateway simulator: {type(exc).__name__}: {exc}", file=sys.stderr)
        return None, 0


async def _run(words: list[str], state: HostState) -> dict:
    try:
        return await run_command(words, state=state, ib=state.ib)
    except Exception as exc:  # the command let a failure through: report it, don't dump a traceback
        logger.error("{} failed: {}: {}", words[0], type(exc).__name__, exc)
        return {"error": f"{type(exc).__name__}: {exc}"}


def summary(words: list[str], record: object) -> str:
    """One line about a result record, e.g. "kline AAPL: 100 bars (ibkr)"."""
    head = words[0]
    if isinstance(record, dict) and record.get("symbol"):
        head += f" {record['symbol']}"
    elif len(words) > 1:
        head += f" {words[1]}"
    if not isinstance(record, dict):
        return f"{head}: error: no result record ({type(record).__name__})"
    if "error" in record:
        return f"{head}: error: {record['error']}"
    if isinstance(record.get("bars"), list):
        source = record.get("source") or ("cache" if record.get("cached") else None)
        return f"{head}: {len(record['bars'])} bars" + (f" ({source})" if source else "")
    return f"{head}: ok"
