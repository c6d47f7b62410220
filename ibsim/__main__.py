"""Run the simulator: python -m ibsim --port N [--host 127.0.0.1] [settings]; --help lists the settings."""

import argparse
import asyncio
import contextlib
import logging

from .options import add_arguments, simulator_options
from .server import GatewaySimulator


def _arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m ibsim", description=__doc__)
    parser.add_argument("--port", type=int, required=True, help="TCP port (0 = any free port)")
    parser.add_argument("--host", default="127.0.0.1")
    return add_arguments(parser).parse_args()


async def _serve(args: argparse.Namespace) -> None:
    sim = GatewaySimulator(**simulator_options(args))
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
