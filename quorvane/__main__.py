import signal
import sys

from quorvane.interrupts import EXIT_INTERRUPTED, interrupted

signal.signal(signal.SIGINT, signal.default_int_handler)  # Ctrl-C is KeyboardInterrupt again (see __init__)


def _run() -> int:
    # Ctrl-C while the libraries load (the first few tenths of a second) is an interrupt like any other.
    try:
        from quorvane.runner import main

        return main()
    except BaseException as error:
        if interrupted(error):
            return EXIT_INTERRUPTED
        raise


sys.exit(_run())
