"""The simulator's settings as command-line words, shared by `python -m ibsim` and the host's `--sim`.

A host started with `--sim` reads more words from $IBSIM_ARGS (for example
"--no-pacing --seed 3"), so a test or a trader can set the in-process
simulator as they would set a real gateway.
"""

from __future__ import annotations

import argparse
import os
import shlex
from zoneinfo import ZoneInfo

from .bar_text import BAR_TIMES
from .scenarios import SCENARIOS
from .timing import DEFAULT_SERVING, NO_LATENCY, Latency

ENV_ARGS = "IBSIM_ARGS"


def add_arguments(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    """The settings a gateway's operator chooses, as options of `parser`."""
    parser.add_argument("--seed", type=int, default=0, help="seed of the synthetic prices")
    parser.add_argument("--no-pacing", action="store_true", help="do not enforce IBKR's pacing limits")
    parser.add_argument("--no-latency", action="store_true", help="answer history requests at once")
    parser.add_argument(
        "--operator-zone",
        type=_zone,
        default="US/Eastern",
        metavar="ZONE",
        help="the gateway's own zone (IANA name): of an end given without a zone, of futures'"
        " last trade times, and of bar times under --bar-times operator",
    )
    parser.add_argument(
        "--bar-times",
        choices=BAR_TIMES,
        default="instrument",
        help="intraday bar times in the instrument's zone, the operator's zone, or UTC",
    )
    parser.add_argument(
        "--scenario", choices=sorted(SCENARIOS), help="play one of a gateway's bad days (see ibsim.scenarios)"
    )
    parser.add_argument(
        "--latency",
        type=Latency.from_text,
        default=Latency(),
        metavar="FIXED,PER_BAR",
        help="seconds an answer takes: FIXED plus PER_BAR a bar (default 0.2,0.001)",
    )
    parser.add_argument(
        "--serving",
        type=_positive,
        default=DEFAULT_SERVING,
        metavar="N",
        help=f"history requests served at once (default {DEFAULT_SERVING})",
    )
    return parser


def _zone(name: str) -> str:
    try:
        ZoneInfo(name)
    except (KeyError, ValueError, OSError):  # unknown, malformed, a folder of zones
        raise argparse.ArgumentTypeError(f"unknown time zone {name!r}") from None
    return name


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(f"must be at least 1, got {value}")
    return value


def simulator_options(args: argparse.Namespace) -> dict:
    """GatewaySimulator keyword arguments for parsed settings."""
    return {
        "seed": args.seed,
        "pacing": not args.no_pacing,
        "latency": NO_LATENCY if args.no_latency else args.latency,
        "serving": args.serving,
        "operator_zone": args.operator_zone,
        "bar_times": args.bar_times,
        "scenario": args.scenario,
    }


def options_from_text(text: str) -> dict:
    """GatewaySimulator keyword arguments for settings written as words; ValueError names a bad one."""
    parser = add_arguments(argparse.ArgumentParser(prog=ENV_ARGS, add_help=False, exit_on_error=False))
    try:
        args, unknown = parser.parse_known_args(shlex.split(text))
    except (argparse.ArgumentError, ValueError) as exc:
        raise ValueError(f"{ENV_ARGS}: {exc}") from None
    if unknown:
        raise ValueError(f"{ENV_ARGS}: unknown settings {' '.join(unknown)}")
    return simulator_options(args)


def options_from_environment() -> dict:
    """Settings from $IBSIM_ARGS (none when unset)."""
    return options_from_text(os.environ.get(ENV_ARGS, ""))
