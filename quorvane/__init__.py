"""quorvane: a command-line trading terminal built around an IBKR gateway connection."""
