"""Command-line entry: one command (`python -m quorvane kline AAPL day 100 --sim`), a word of the
runner's own (`help kline`), or the shell when no command is given."""

from __future__ import annotations

import argparse
import asyncio
import sys
from collections.abc import Callable

from loguru import logger

from mutil import streams
from quorvane.connection import GatewayAddress, open_connection
from quorvane.console import configure_logging
from quorvane.helptext import epilog, help_text, is_topic
from quorvane.loader import flush_caches, load_commands
from quorvane.output import OutputOptions, add_output_options
from quorvane.request import EXIT_CLOSED_PIPE, EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, execute, refuse_words
from quorvane.state import HostState
from quorvane.workers import calls_running, leave, use_daemon_threads

__all__ = ["main", "TOP_LEVEL"]


def show_help(topics: list[str]) -> int:
    if not load_commands():
        return EXIT_USAGE
    if not streams.write(help_text(topics) + "\n"):
        return EXIT_CLOSED_PIPE
    return EXIT_OK if all(is_topic(t) for t in topics) else EXIT_USAGE


def manage_store(words: list[str]) -> int:
    """`cache` and `cache clear`: the bar store, with no gateway and no session."""
    from quorvane.gateway.bar_store.command import main as store_command

    return store_command(words)


# Words the runner answers itself, before any command: word -> handler(the words after it) -> exit code.
TOP_LEVEL: dict[str, Callable[[list[str]], int]] = {
    "help": show_help,
    "cache": manage_store,
}


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_intermixed_args(argv)
    try:
        options = OutputOptions.from_args(args)
    except ValueError as exc:
        parser.error(str(exc))
    if options.any and not args.words:
        parser.error("output options go with a command (in the shell, type them after the command's words)")
    if (args.echo or args.stop_on_error) and args.words:
        parser.error("--echo and --stop-on-error go with a script piped in, not with a command")
    configure_logging("quiet" if args.quiet else "verbose" if args.verbose else "normal")
    if args.words and args.words[0] in TOP_LEVEL:
        return TOP_LEVEL[args.words[0]](args.words[1:])
    if not load_commands():
        return EXIT_USAGE
    if args.words and (refused := refuse_words(args.words, options)) is not None:
        return refused  # before a gateway is started or connected
    try:
        code = asyncio.run(_session(args, options))
    except KeyboardInterrupt:
        code = EXIT_INTERRUPTED
    if calls_running():  # a download still hangs: end now, once the bar store has what it was given
        leave(code, finish=flush_caches)
    return code


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvane",
        description="Run one quorvane terminal command, or start the interactive shell when none is given.",
        epilog=epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("words", nargs="*", help="the command line, e.g. kline AAPL day 100; or help [COMMAND]")
    source = parser.add_argument_group("gateway").add_mutually_exclusive_group()
    source.add_argument("--sim", action="store_true", help="serve from the bundled gateway simulator")
    source.add_argument(
        "--gateway",
        type=_host_port,
        metavar="HOST:PORT",
        help="connect to this IB Gateway or TWS (default: $QUORVANE_GATEWAY, else no gateway)",
    )
    parser.add_argument("--client-id", type=int, default=1, help="API client id (default 1)")
    verbosity = parser.add_argument_group("log").add_mutually_exclusive_group()
    verbosity.add_argument("-q", "--quiet", action="store_true", help="log warnings and errors only")
    verbosity.add_argument("-v", "--verbose", action="store_true", help="log debug lines too")
    script = parser.add_argument_group("script (lines piped in)")
    script.add_argument("--echo", action="store_true", help="print each line before running it")
    script.add_argument("--stop-on-error", action="store_true", help="stop at the first line that fails")
    add_output_options(parser)
    return parser


def _host_port(text: str) -> GatewayAddress:
    try:
        return GatewayAddress.parse(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


async def _session(args: argparse.Namespace, options: OutputOptions) -> int:
    use_daemon_threads()  # Ctrl-C ends the process even while a download hangs
    state = HostState()
    connection = await open_connection(state, sim=args.sim, gateway=args.gateway, client_id=args.client_id)
    if connection is None:
        return EXIT_ERROR
    try:
        if args.words:
            return await execute(args.words, state, options)
        interactive = sys.stdin.isatty()
        if interactive:
            try:
                import prompt_toolkit  # noqa: F401  (the shell's prompt needs it)
            except ImportError as exc:
                logger.error("The shell needs prompt_toolkit ({}); give a command to run it once", exc)
                return EXIT_USAGE
        from quorvane.shell import Shell

        shell = Shell(connection, interactive=interactive, echo=args.echo, stop_on_error=args.stop_on_error)
        return await shell.run()
    finally:
        await connection.close()
