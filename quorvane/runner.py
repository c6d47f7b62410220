"""Command-line entry: one command (`python -m quorvane kline AAPL day 100 --sim`), or the shell without one."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import sys
from contextlib import redirect_stdout

from loguru import logger

from quorvane.cmds.base import run_command
from quorvane.connection import GatewayAddress, open_connection
from quorvane.console import configure_logging, waiting
from quorvane.output import OutputOptions, add_output_options, display_stream, present, summary
from quorvane.state import HostState

__all__ = ["main", "execute", "summary", "COMMAND_MODULES"]

# Modules whose import registers the commands this runner offers.
COMMAND_MODULES = ("quorvane.cmds.quotes.kline",)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["cache"]:  # the bar store's own command: no gateway, no session
        from quorvane.gateway.bar_store.command import main as cache_main

        return cache_main(argv[1:])
    parser = _parser()
    args = parser.parse_intermixed_args(argv)
    options = OutputOptions.from_args(args)
    if options.any and not args.words:
        parser.error("output options go with a command (in the shell, type them after the command's words)")
    configure_logging()
    if not _load_commands():
        return 2
    try:
        return asyncio.run(_session(args, options))
    except KeyboardInterrupt:
        return 130


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvane",
        description="Run one quorvane terminal command, or start the interactive shell when none is given.",
    )
    parser.add_argument("words", nargs="*", help="the command line, e.g. kline AAPL day 100")
    source = parser.add_argument_group("gateway").add_mutually_exclusive_group()
    source.add_argument("--sim", action="store_true", help="serve from the bundled gateway simulator")
    source.add_argument(
        "--gateway", type=_host_port, metavar="HOST:PORT",
        help="connect to this IB Gateway or TWS (default: $QUORVANE_GATEWAY, else no gateway)",
    )  # fmt: skip
    parser.add_argument("--client-id", type=int, default=1, help="API client id (default 1)")
    add_output_options(parser)
    return parser


def _host_port(text: str) -> GatewayAddress:
    try:
        return GatewayAddress.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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


async def _session(args: argparse.Namespace, options: OutputOptions) -> int:
    state = HostState()
    connection = await open_connection(state, sim=args.sim, gateway=args.gateway, client_id=args.client_id)
    if connection is None:
        return 2
    try:
        if args.words:
            return await execute(args.words, state, options)
        try:
            from quorvane.shell import Shell  # prompt_toolkit loads only for the shell
        except ImportError as exc:
            logger.error("The shell needs prompt_toolkit ({}); give a command to run it once", exc)
            return 2
        return await Shell(connection, interactive=sys.stdin.isatty()).run()
    finally:
        await connection.close()


async def execute(words: list[str], state: HostState, options: OutputOptions = OutputOptions()) -> int:
    """Run one command line and show its result; the exit code: 0 done, 1 error record or output failed."""
    with redirect_stdout(display_stream(options)):  # under --json stdout carries only the JSON
        async with waiting(" ".join(words)):
            record = await _run(words, state)
    shown = present(words, record, options)
    return 0 if shown and isinstance(record, dict) and "error" not in record else 1


async def _run(words: list[str], state: HostState) -> dict:
    try:
        return await run_command(words, state=state, ib=state.ib)
    except Exception as exc:  # the command let a failure through: report it, don't dump a traceback
        logger.error("{} failed: {}: {}", words[0], type(exc).__name__, exc)
        return {"error": f"{type(exc).__name__}: {exc}"}
