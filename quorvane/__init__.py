"""quorvane: a command-line trading terminal built around an IBKR gateway connection."""

import sys as _sys

if _sys.argv[:1] == ["-m"]:  # `python -m quorvane` is still locating its entry point (see `python -m`)
    import os as _os
    import signal as _signal

    # Ctrl-C this early would end in a traceback from the import machinery: end quietly instead,
    # as an interrupt. quorvane.__main__ puts the usual handling back first thing.
    _signal.signal(_signal.SIGINT, lambda *_: _os._exit(130))

from quorvane.logs import quiet_as_library

quiet_as_library()  # used as a library it prints nothing; the command line enables its log lines
