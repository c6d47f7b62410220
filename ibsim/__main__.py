"""Run the simulator: python -m ibsim --port N [--host 127.0.0.1] [--seed S] [--no-pacing] [--no-latency]."""

import argparse
import asyncio
import contextlib
import logging

from .server import GatewaySimulator
from .timing import NO_LATENCY, Latency


def _arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m ibsim", description=__doc__)
    parser.add_argument("--port", type=int, required=True, help="TCP port (0 = any free port)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--seed", type=int, default=0, help="seed of the synthetic prices")
    parser.add_argument("--no-pacing", action="store_true", help="do not enforce IBKR's pacing limits")
    parser.add_argument("--no-latency", action="store_true", help="answer history requests at once")
    return parser.parse_args()


async def _serve(args: argparse.Namespace) -> None:
    latency = NO_LATENCY if args.no_latency else Latency()
    sim = GatewaySimulator(seed=args.seed, pacing=not args.no_pacing, latency=latency)
    port = await sim.start(args.host, args.port)
    print(f"ibsim: gateway simulator on {args.host}:{port} (Ctrl-C stops)", flush=True)
    try:
        await asyncio.Event().wait()
    finally:
        await sim.stop()


def main() -> None:
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(message)s")
    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(_serve(_arguments()))


if __name__ == "__main__":
    main()
