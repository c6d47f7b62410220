"""What the host shows of a result record: the cached table, charts, CSV, the summary line, JSON."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, cast

import pandas as pd
from loguru import logger

from mutil import streams
from mutil.frame import printFrame
from quorvane import chart
from quorvane.console import supports_colour
from quorvane.records import bars_of, is_cached, record_json, record_title, summary

STDOUT = "-"  # as a file name: standard output


@dataclass(frozen=True)
class OutputOptions:
    chart: bool = False  # candlestick chart in the terminal
    chart_file: str | None = None  # candlestick chart written to this file (.png, .svg or .pdf)
    json: bool = False  # the result record as JSON on stdout (the table moves to stderr)
    csv: str | None = None  # the bars written to this CSV file ("-": stdout, the table moves to stderr)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> OutputOptions:
        """The options parsed by `add_output_options`; ValueError when two of them want stdout."""
        if args.json and args.csv == STDOUT:
            raise ValueError("--json and --csv - both write to standard output: choose one")
        return cls(chart=args.chart, chart_file=args.chart_file, json=args.json, csv=args.csv)

    @property
    def any(self) -> bool:
        return self != OutputOptions()

    @property
    def data_on_stdout(self) -> bool:
        return self.json or self.csv == STDOUT


def add_output_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("output")
    group.add_argument("--chart", action="store_true", help="draw a candlestick chart in the terminal")
    group.add_argument(
        "--chart-file",
        "--chart-png",
        dest="chart_file",
        metavar="FILE",
        type=_chart_file,
        help="write a candlestick chart with volume to FILE; the format is its extension: .png, .svg or .pdf",
    )
    group.add_argument("--json", action="store_true", help="print the result record as JSON on stdout")
    group.add_argument("--csv", metavar="FILE", type=_csv_file, help="write the bars as CSV to FILE (- for stdout)")


def _chart_file(name: str) -> str:
    try:
        chart.file_format(name)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return name


def _csv_file(name: str) -> str:
    if not name.strip():
        raise argparse.ArgumentTypeError("needs a file name, or - for standard output")
    return name


def display_stream(options: OutputOptions) -> IO[str]:
    """Where tables, charts and the summary go: stderr when stdout carries the data (JSON or CSV)."""
    return sys.stderr if options.data_on_stdout else sys.stdout


def present(words: list[str], record: object, options: OutputOptions) -> bool:
    """Show `record` as `options` ask; False when an output could not be produced."""
    display = display_stream(options)
    if isinstance(record, dict) and is_cached(record) and bars_of(record):
        # The command prints only fresh fetches; a person asking again still wants the table.
        printFrame(_bars_frame(record), f"{record_title(record)} [cache]", file=display)
    ok = _extra_outputs(record, options, display)
    streams.write(summary(words, record) + "\n", display)
    if options.json:
        streams.write(record_json(record) + "\n")
    return ok


def _extra_outputs(record: object, options: OutputOptions, display: IO[str]) -> bool:
    """Charts and CSV: each one asked for is tried, even after another failed."""
    count = len(bars_of(record) or [])
    result = cast(dict, record)  # the actions run only once bars_of(record) has found bars
    wanted = output_actions(
        options,
        lambda: _draw_chart(result, display),
        lambda path: chart.save_chart(result, path),
        lambda target: write_csv(_bars_frame(result), target),
        f"{count} bars",
    )
    if not wanted:
        return True
    if not bars_of(record):
        if not (isinstance(record, dict) and "error" in record):  # an error record was reported already
            logger.error("No chart or CSV: the result has no bars")
        return False
    done = [guarded(doing, action, finished) for doing, action, finished in wanted]
    return all(done)


def output_actions(options: OutputOptions, draw, save_chart, save_csv, written: str) -> list[tuple]:
    """(what is being done, how, the line to log once done) for each chart or CSV `options` ask for.

    `draw()` draws in the terminal, `save_chart(path)` and `save_csv(target)` write; `written`
    says what a CSV holds ("30 bars").
    """
    wanted: list[tuple[str, Callable[[], object], str | None]] = []
    if options.chart:
        wanted.append(("draw the chart", draw, None))
    if options.chart_file:
        path = options.chart_file
        wanted.append((f"write the chart to {path}", lambda: save_chart(path), f"Wrote chart to {path}"))
    if options.csv:
        csv = options.csv
        where = "standard output" if csv == STDOUT else csv
        wanted.append((f"write {where}", lambda: save_csv(csv), f"Wrote {written} to {where}"))
    return wanted


def _draw_chart(record: dict, display: IO[str]) -> None:
    streams.write(chart.terminal_chart(record, color=supports_colour(display)) + "\n", display)


def write_csv(frame: pd.DataFrame, target: str) -> None:
    if target == STDOUT:
        streams.write(frame.to_csv(index=False))
    else:
        frame.to_csv(target, index=False)


def _bars_frame(record: dict) -> pd.DataFrame:
    return pd.DataFrame(record["bars"])


def guarded(doing: str, action, finished: str | None) -> bool:
    try:
        action()
    except (ImportError, OSError, ValueError, TypeError) as exc:
        logger.error("Cannot {}: {}: {}", doing, type(exc).__name__, exc)
        return False
    if finished:
        logger.info(finished)
    return True
