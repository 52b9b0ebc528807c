"""The command-line side of a batch (`tiltgram convert`, and any subcommand that runs one
job per recording into an output folder): the shared arguments, the list files, the Dask
connection, and the summary and exit status.

A subcommand adds `add_batch_arguments(parser)` and its own options, and its `run` returns
`run_batch_command(args, job)` with the `batch.Job` it built from them.
"""

from __future__ import annotations

import argparse
import os
import socket
import sys
from typing import TYPE_CHECKING, Any

from tiltgram_tools.common import (UsageError, add_verbosity, display_path, log,
                                   positive_float_arg, positive_int_arg)

if TYPE_CHECKING:
    from tiltgram_tools.batch import Job

SCHEDULER_TIMEOUT_S = 30.0


def add_batch_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("recordings", nargs="*", metavar="REC",
                        help="recording files, or folders searched for *.cwa and *.cwa.gz "
                             "(regular files and links to them)")
    parser.add_argument("--from-list", metavar="FILE", action="append", default=[],
                        help="a UTF-8 file of recordings, one path a line ('-': standard input)")
    parser.add_argument("-o", "--out-dir", metavar="DIR", required=True,
                        help="output folder (made when missing)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=positive_int_arg, metavar="N",
                       help="worker processes on this machine (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="send the work to this Dask scheduler (tcp://HOST:PORT); its "
                            "workers must see the files (paths are sent absolute)")
    parser.add_argument("--scheduler-timeout", type=positive_float_arg, metavar="S",
                        default=SCHEDULER_TIMEOUT_S,
                        help="how long to wait for the scheduler and its first worker "
                             f"(default {SCHEDULER_TIMEOUT_S:g} s)")
    parser.add_argument("--overwrite", action="store_true",
                        help="make outputs again where they exist (also when they were made "
                             "with other settings)")
    add_verbosity(parser)


def read_lists(lists: list[str]) -> list[str]:
    """The paths of `--from-list` files: a line each, blanks around them and a byte-order
    mark dropped, empty lines passed over; UsageError naming the file it cannot read."""
    paths: list[str] = []
    for name in lists:
        try:
            if name == "-":
                data = sys.stdin.buffer.read()
            else:
                with open(name, "rb") as fh:
                    data = fh.read()
            text = data.decode("utf-8-sig")
        except OSError as exc:
            raise UsageError(f"cannot read the list {display_path(name)}: "
                             f"{exc.strerror or exc}") from None
        except UnicodeDecodeError as exc:
            line = data[: exc.start].count(b"\n") + 1
            raise UsageError(f"the list {display_path(name)} is not UTF-8 text "
                             f"(line {line})") from None
        paths.extend(line.strip() for line in text.splitlines() if line.strip())
    return paths


def connect(address: str, timeout_s: float) -> Any:
    """A `distributed.Client` of the scheduler at `address` with at least one worker;
    UsageError, soon, when it cannot be reached or has no worker."""
    from tiltgram_tools.extras import require

    distributed = require("distributed", "dask")
    where = f"the Dask scheduler at {address}"
    try:
        protocol, location = distributed.comm.parse_address(address)
        if protocol == "tcp":
            # A refused connection fails at once, where the client would retry to its timeout.
            host, port = distributed.comm.parse_host_port(location)
            socket.create_connection((host, port), timeout=timeout_s).close()
    except (ValueError, TypeError) as exc:
        raise UsageError(f"{address!r} is not a Dask scheduler address "
                         f"(tcp://HOST:PORT): {exc}") from None
    except OSError as exc:
        raise UsageError(f"cannot reach {where}: {exc.strerror or exc}") from None
    log.info("connecting to %s", where)
    try:
        client = distributed.Client(address, timeout=timeout_s)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"cannot reach {where}: {exc}") from None
    try:
        if not client.scheduler_info().get("workers"):
            log.warning("waiting up to %g s for a worker of %s", timeout_s, where)
            client.wait_for_workers(1, timeout=timeout_s)
    except (OSError, TimeoutError):
        client.close()
        raise UsageError(f"{where} has no worker (waited {timeout_s:g} s)") from None
    except BaseException:
        client.close()
        raise
    return client


def run_batch_command(args: argparse.Namespace, job: Job) -> int:
    """Runs `job` on the recordings of the command line; prints the summary; the exit
    status. UsageError when nothing can be done."""
    from tiltgram_tools.batch import run_batch

    paths = list(args.recordings) + read_lists(args.from_list)
    if not paths:
        raise UsageError("no recordings given (REC... or --from-list FILE)")
    out = args.out_dir
    if os.path.lexists(out) and not os.path.isdir(out):
        raise UsageError(f"{display_path(out)} is not a folder")
    client = None
    if args.scheduler is not None:
        client = connect(args.scheduler, args.scheduler_timeout)
    try:
        summary = run_batch(paths, out, job, jobs=args.jobs, client=client,
                            overwrite=args.overwrite, progress=False if args.quiet else None)
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(summary, file=sys.stderr, flush=True)
    return summary.exit_status
