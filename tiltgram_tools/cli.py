"""The `tiltgram` command.

Subcommands are registered in SUBCOMMANDS: each is a module with `add_parser(subparsers)`,
which adds its parser and sets `func` to a `run(args) -> int` that returns the exit status.
To add one, write the module and add its `add_parser` to the tuple. Modules import their
heavy dependencies inside `run`, so that `tiltgram --help` and the other subcommands work
without them. Every subcommand has `-v`/`-q` (`common.add_verbosity`); `main` sets up
logging from them and turns what escapes a subcommand into a line and an exit status.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Callable, Sequence
from typing import Any

from tiltgram_tools import __version__, convert, info, plot
from tiltgram_tools.common import (EXIT_FAILED, EXIT_INTERRUPTED, OutputClosed, UsageError,
                                   configure_logging, join_negative_offsets, log, usage_error)
from tiltgram_tools.extras import MissingExtraError

# The subcommands, in the order `--help` lists them.
SUBCOMMANDS: tuple[Callable[[Any], None], ...] = (
    info.add_parser,
    convert.add_parser,
    plot.add_parser,
)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tiltgram",
        description="Read, convert and look at AX3/AX6 CWA recordings.",
    )
    parser.add_argument("--version", action="version", version=f"tiltgram {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for add_parser in SUBCOMMANDS:
        add_parser(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(join_negative_offsets(list(sys.argv[1:] if argv is None else argv)))
    command: str = args.command
    configure_logging(command, getattr(args, "verbose", 0), getattr(args, "quiet", False))
    try:
        status: int = args.func(args)
    except (UsageError, MissingExtraError) as exc:
        return usage_error(command, str(exc))
    except OutputClosed:
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:
        # A fault of ours: one line, the traceback with -vv.
        log.error("internal error: %s: %s", type(exc).__name__, exc,
                  exc_info=log.isEnabledFor(logging.DEBUG))
        if not log.isEnabledFor(logging.DEBUG):
            log.error("(run with -vv for the details)")
        return EXIT_FAILED
    return status
