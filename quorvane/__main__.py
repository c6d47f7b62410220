import sys


def _run() -> int:
    # Ctrl-C while the libraries load (the first few tenths of a second) is an interrupt like any other.
    try:
        from quorvane.runner import main

        return main()
    except KeyboardInterrupt:
        return 130  # request.EXIT_INTERRUPTED, which may not be loaded yet


sys.exit(_run())
