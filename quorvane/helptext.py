"""Help texts: the runner's --help epilog, and `help [COMMAND]` in the shell and on the command line."""

from __future__ import annotations

from quorvane.cmds.base import COMMANDS, lookup

KLINE_GUIDE = """\
kline: candlestick (OHLCV) bars from the gateway, or from public data (yfinance) without one

  kline SYMBOL [PERIOD] [COUNT] [adj]        the latest COUNT bars
  kline SYMBOL START [END] [PERIOD] [adj]    the bars from START to END, both included
                                             (END defaults to today; START = END is one day)
  kline SYMBOL intraday                      today's one-minute bars

  The words keep this order: the adjustment word comes after the period and the count
  (kline AAPL 5m 200 adj). adj or forward asks for split- and dividend-adjusted prices.

  Period (aliases)   bars            default COUNT
  1m (minute)        1 minute        120
  5m                 5 minutes        78
  15m                15 minutes      130
  30m                30 minutes      130
  1h (hour)          1 hour          130
  day (d, 1d)        1 day           250
  week (w)           1 week          156
  month (m, 1mo)     1 month          60
  year (y)           1 month         120   (monthly bars: there is no yearly bar)
  An alias asks for 100 bars unless a COUNT is given.

  Dates: YYYY-MM-DD, today or yesterday (the machine's local date).
  Symbols: AAPL is a US stock, BRK.B a class share; /ES is a futures root, asked for as its
  continuous future; ^GSPC, ^NDX, ^DJI, ^RUT and ^VIX are indices.
  Several symbols, with commas (AAPL,MSFT,SPY), are fetched at once with the same words.

  Examples:
    kline AAPL day 100
    kline AAPL 5m 200 adj
    kline AAPL 2025-01-01 2025-06-01 day
    kline /ES 1h 50
    kline AAPL,MSFT,SPY day 100
    kline AAPL intraday"""

# Commands whose help is richer than their class's first lines.
COMMAND_GUIDES = {"kline": KLINE_GUIDE}

OUTPUT_HELP = """\
Output options, after the command's words:
  --chart           candlestick chart in the terminal
  --chart-file F    chart with volume written to F: .png, .svg or .pdf
  --csv F           the bars as CSV in F (- for standard output)
  --json            the result record as JSON on standard output"""

SHELL_WORDS = {
    "help": "help [COMMAND]: list the commands, or show one command's help",
    "status": "status: the gateway connection and the bar cache",
    "quit": "quit (or Ctrl-D): leave the shell",
    "exit": "exit: the same as quit",
}
KEYS_HELP = "Tab completes commands and period words; Ctrl-C cancels a running request; Ctrl-D quits."

ENVIRONMENT_HELP = """\
Environment:
  QUORVANE_GATEWAY=HOST:PORT  the gateway to use when neither --sim nor --gateway is given
  QUORVANE_HISTORY            the shell's history file (default ~/.local/state/quorvane/history)
  KLINE_CACHE_LIVE_TTL        seconds a cached answer for recent bars is reused (default 60; 0: never)
  KLINE_CACHE_MAX_BARS        bars the cache holds at most (default 2,000,000)
  KLINE_CACHE_URL             the bar store that outlives the process: sqlite:///PATH (default
                              ~/.cache/quorvane/bars.sqlite), redis://HOST:PORT/DB, or memory:
  HTTPS_PROXY                 proxy for public-data downloads
  NO_COLOR                    no colour in charts and log lines"""

EXIT_CODES_HELP = """\
Exit codes:
  0    done
  1    an error: no data, a failed request, or an output that could not be written
  2    bad usage: unknown options, commands or words, bad dates
  130  interrupted (Ctrl-C)
  141  standard output closed by its reader (... | head)"""

MODES_HELP = """\
Modes:
  quorvane [options] COMMAND WORDS...   run one command
  quorvane help [COMMAND]               this help, or one command's
  quorvane cache [clear]                what the bar store holds; empty it
  quorvane [options]                    the shell; lines piped in run as a script"""


def epilog() -> str:
    """The end of `python -m quorvane --help`."""
    return "\n\n".join([MODES_HELP, KLINE_GUIDE, OUTPUT_HELP, ENVIRONMENT_HELP, EXIT_CODES_HELP])


def help_text(topics: list[str], shell: bool = False) -> str:
    """`help` (an overview) or `help COMMAND...`; `shell` adds the shell's own words and keys."""
    if not topics:
        commands = [f"  {name}: {first_line(lookup(name).__doc__)}" for name in sorted(COMMANDS)]
        parts = ["Commands:\n" + "\n".join(commands)]
        if shell:
            parts.append("Shell:\n" + "\n".join(f"  {text}" for text in SHELL_WORDS.values()) + "\n" + KEYS_HELP)
        return "\n\n".join([*parts, OUTPUT_HELP, ENVIRONMENT_HELP, EXIT_CODES_HELP])
    return "\n\n".join(_topic(name) for name in topics)


def _topic(name: str) -> str:
    if name in COMMAND_GUIDES:
        return f"{COMMAND_GUIDES[name]}\n\n{OUTPUT_HELP}"
    cls = lookup(name)
    if cls is not None:
        return (cls.__doc__ or f"{name}: no help text").rstrip() + "\n\n" + OUTPUT_HELP
    return SHELL_WORDS.get(name, f"Unknown command: {name}")


def is_topic(name: str) -> bool:
    return name in COMMAND_GUIDES or lookup(name) is not None or name in SHELL_WORDS


def first_line(doc: str | None) -> str:
    return (doc or "").strip().split("\n", 1)[0]
