"""`tiltgram convert`: recordings to CSV or Parquet files in one folder, in parallel."""

from __future__ import annotations

import argparse
import datetime as dt
import re
import sys
from typing import Any

from tiltgram_tools.cli import EXIT_USAGE


def parse_utc_offset(text: str) -> dt.timezone:
    """`+02:00`, `-0530`, `+2`, `Z` or `UTC` -> a fixed time zone; ValueError otherwise."""
    if text.strip().upper() in ("Z", "UTC"):
        return dt.timezone.utc
    m = re.fullmatch(r"([+-])(\d{1,2})(?::?(\d{2}))?", text.strip())
    if not m or int(m.group(3) or 0) >= 60:
        raise ValueError(f"UTC offset {text!r} is not of the form +HH:MM")
    offset = dt.timedelta(hours=int(m.group(2)), minutes=int(m.group(3) or 0))
    if offset >= dt.timedelta(hours=24):
        raise ValueError(f"UTC offset {text!r} is not less than 24 hours")
    return dt.timezone(-offset if m.group(1) == "-" else offset)


def _utc_offset(text: str) -> dt.timezone:
    try:
        return parse_utc_offset(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


def add_parser(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "convert", help="convert recordings to CSV or Parquet files",
        description="Convert recordings to DIR/<name>.csv or .parquet. Outputs appear only "
                    "when complete; existing ones are skipped unless --overwrite. Failures are "
                    "listed on standard error and in DIR/failures.tsv. Exit status: 0 all "
                    "converted, 1 some failed, 2 usage error.")
    p.add_argument("recordings", nargs="*", metavar="REC",
                   help="recording files, or folders searched for *.cwa and *.cwa.gz")
    p.add_argument("--from-list", metavar="FILE", action="append", default=[],
                   help="a file of recordings, one path a line ('-': standard input)")
    p.add_argument("-o", "--out-dir", metavar="DIR", required=True, help="output folder")
    p.add_argument("--format", choices=("csv", "parquet"), default="csv",
                   help="csv streams through write_cwa_csv; parquet writes read_cwa_file's "
                        "frame (zstd, index as column timestamp); default csv")
    where = p.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                       help="worker processes on this machine (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="send the work to this Dask scheduler (its workers must see the paths)")
    p.add_argument("--overwrite", action="store_true", help="convert again where outputs exist")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary; failures are still listed")
    read = p.add_argument_group("reading (as the module's keyword arguments)")
    read.add_argument("--start", type=float, metavar="S", help="seconds after the first sample")
    read.add_argument("--end", type=float, metavar="S", help="seconds after the first sample (excluded)")
    read.add_argument("--first-block", type=int, metavar="N", help="first data block (0 is the first)")
    read.add_argument("--end-block", type=int, metavar="N", help="data block to stop before")
    read.add_argument("--resample-hz", type=float, metavar="HZ", help="resample onto a regular grid")
    read.add_argument("--resample-method", metavar="NAME", help="interpolation (default cubic)")
    read.add_argument("--utc-offset", type=_utc_offset, metavar="+HH:MM",
                      help="the device clock's UTC offset; times become UTC (a negative one as --utc-offset=-05:00)")
    for flag in ("magnetometer", "temperature", "light", "battery"):
        read.add_argument(f"--{flag}", dest=f"include_{flag}", action=argparse.BooleanOptionalAction,
                          help=f"include the {flag} column(s) (default: as the module's function)")
    p.set_defaults(func=run)


def read_options(args: argparse.Namespace) -> dict[str, Any]:
    """The module's keyword arguments from the command line; ValueError for a bad cut."""
    import tiltgram

    options: dict[str, Any] = {}
    seconds = args.start is not None or args.end is not None
    blocks = args.first_block is not None or args.end_block is not None
    if seconds and blocks:
        raise ValueError("--start/--end and --first-block/--end-block cannot be combined")
    if seconds:
        options["cut"] = tiltgram.seconds(args.start, args.end)
    elif blocks:
        try:
            options["cut"] = tiltgram.blocks(args.first_block, args.end_block)
        except OverflowError:
            raise ValueError("block numbers must be whole numbers from 0") from None
    if args.resample_hz is not None:
        options["resample_hz"] = args.resample_hz
    if args.resample_method is not None:
        options["resample_method"] = args.resample_method
    if args.utc_offset is not None:
        options["fixed_utc_offset_timezone"] = args.utc_offset
    for flag in ("magnetometer", "temperature", "light", "battery"):
        value = getattr(args, f"include_{flag}")
        if value is not None:
            options[f"include_{flag}"] = value
    return options


def _list_paths(lists: list[str]) -> list[str]:
    paths: list[str] = []
    for name in lists:
        with (sys.stdin if name == "-" else open(name, encoding="utf-8")) as fh:
            paths.extend(line.rstrip("\r\n") for line in fh if line.strip())
    return paths


def run(args: argparse.Namespace) -> int:
    from tiltgram_tools.batch import UsageError, convert_many

    def usage(message: str) -> int:
        print(f"tiltgram convert: error: {message}", file=sys.stderr)
        return EXIT_USAGE

    try:
        options = read_options(args)
        paths = list(args.recordings) + _list_paths(args.from_list)
    except (ValueError, OSError) as exc:
        return usage(str(exc))
    if not paths:
        return usage("no recordings given (REC... or --from-list FILE)")
    client = None
    try:
        if args.scheduler is not None:
            client = _connect(args.scheduler)
        summary = convert_many(paths, args.out_dir, format=args.format, jobs=args.jobs,
                               client=client, overwrite=args.overwrite,
                               progress=False if args.quiet else None, **options)
    except UsageError as exc:
        return usage(str(exc))
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(summary, file=sys.stderr)
    return summary.exit_status


def _connect(address: str) -> Any:
    from tiltgram_tools.batch import UsageError
    from tiltgram_tools.extras import require

    distributed = require("distributed", "dask")
    try:
        return distributed.Client(address, timeout=30)
    except (OSError, TimeoutError) as exc:
        raise UsageError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
