"""quorvane: a command-line trading terminal built around an IBKR gateway connection."""

from quorvane.logs import quiet_as_library

quiet_as_library()  # used as a library it prints nothing; the command line enables its log lines
