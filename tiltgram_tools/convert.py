"""`tiltgram convert`: recordings to CSV or Parquet files in one folder, in parallel."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

from tiltgram_tools.batch_command import add_batch_arguments, run_batch_command
from tiltgram_tools.common import UTC_OFFSET_HELP, UsageError, utc_offset_arg

if TYPE_CHECKING:
    from tiltgram_tools.batch import ReadOptions

FLAGS = ("magnetometer", "temperature", "light", "battery")


def add_parser(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "convert", help="convert recordings to CSV or Parquet files",
        description="Convert recordings to DIR/<name>.csv or .parquet, with every column the "
                    "recording has unless told otherwise (the same columns in both formats). "
                    "Outputs appear only when complete; existing ones are skipped unless "
                    "--overwrite, and a re-run with other options says what differs "
                    "(the options of each output are kept in DIR/tiltgram-manifest.jsonl). "
                    "Failures are listed on standard error and in DIR/failures.tsv. Exit "
                    "status: 0 all converted, 1 some failed, 2 usage error (nothing done).")
    add_batch_arguments(p)
    p.add_argument("--format", choices=("csv", "parquet"), default="csv",
                   help="csv streams through write_cwa_csv; parquet writes read_cwa_file's "
                        "frame (zstd, index as column timestamp); default csv")
    read = p.add_argument_group("reading (the module's keyword arguments)")
    read.add_argument("--start", type=float, metavar="S", help="seconds after the first sample")
    read.add_argument("--end", type=float, metavar="S",
                      help="seconds after the first sample (excluded)")
    read.add_argument("--first-block", type=int, metavar="N",
                      help="first data block (0 is the first)")
    read.add_argument("--end-block", type=int, metavar="N", help="data block to stop before")
    read.add_argument("--resample-hz", type=float, metavar="HZ",
                      help="resample onto a regular grid")
    read.add_argument("--resample-method", metavar="NAME", help="interpolation (default cubic)")
    read.add_argument("--utc-offset", type=utc_offset_arg, metavar="+HH:MM", help=UTC_OFFSET_HELP)
    for flag in FLAGS:
        read.add_argument(f"--{flag}", dest=f"include_{flag}",
                          action=argparse.BooleanOptionalAction,
                          help=f"the {flag} column(s) (default: included when recorded)")
    p.set_defaults(func=run)


def read_options(args: argparse.Namespace) -> ReadOptions:
    """The module's keyword arguments from the command line; UsageError for a bad cut."""
    import tiltgram

    from tiltgram_tools.common import ReaderError, calling_reader

    options: ReadOptions = {}
    seconds = args.start is not None or args.end is not None
    blocks = args.first_block is not None or args.end_block is not None
    if seconds and blocks:
        raise UsageError("--start/--end and --first-block/--end-block cannot be combined")
    try:
        with calling_reader():
            if seconds:
                options["cut"] = tiltgram.seconds(args.start, args.end)
            elif blocks:
                try:
                    options["cut"] = tiltgram.blocks(args.first_block, args.end_block)
                except OverflowError:
                    raise UsageError("block numbers must be whole numbers from 0") from None
    except ReaderError as exc:
        raise UsageError(exc.message) from None
    if args.end_block == 0:
        # The CSV writer would write its header line alone; the frame has no rows to read.
        raise UsageError("--end-block 0 selects no block")
    if args.resample_hz is not None:
        options["resample_hz"] = args.resample_hz
    if args.resample_method is not None:
        options["resample_method"] = args.resample_method
    if args.utc_offset is not None:
        options["fixed_utc_offset_timezone"] = args.utc_offset
    for flag in FLAGS:
        value = getattr(args, f"include_{flag}")
        if value is not None:
            options[f"include_{flag}"] = value  # type: ignore[literal-required]
    return options


def run(args: argparse.Namespace) -> int:
    from tiltgram_tools.batch import conversion_job

    if args.format == "parquet":
        from tiltgram_tools.extras import require

        require("pyarrow.parquet", "parquet")
    job = conversion_job(args.format, read_options(args))
    return run_batch_command(args, job)
