"""The `tiltgram` command: one subcommand per module.

Each subcommand module has `add_parser(subparsers)`, which registers its parser and sets
`func` to a `run(args) -> int` that returns the exit status. Modules import their heavy
dependencies inside `run`, so that `tiltgram --help` and the other subcommands work
without them.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence

from tiltgram_tools.extras import MissingExtraError

# Subcommand modules, in the order `--help` lists them.
SUBCOMMANDS: tuple[str, ...] = ("info", "convert", "cohort", "plot")

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tiltgram",
        description="Read, convert and look at AX3/AX6 CWA recordings.",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in SUBCOMMANDS:
        importlib.import_module(f"tiltgram_tools.{name}").add_parser(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.func(args)
    except MissingExtraError as exc:
        print(f"tiltgram {args.command}: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of our output went away (`tiltgram info ... | head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    return status
