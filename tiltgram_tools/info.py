"""`tiltgram info`: what a recording is, from its metadata block and a scan of its packets.

Nothing is decoded: both reports of the module (`read_metadata`,
`sampling_consistency_report`) read the metadata block and the packet headers only.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
from collections.abc import Mapping
from typing import Any

from tiltgram_tools.common import (EXIT_FAILED, EXIT_OK, ReaderError, add_verbosity,
                                   calling_reader, display_path, failure_message, log,
                                   print_out, readable_path)


def add_parser(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "info", help="describe recordings (device, session, times, rates, ranges)",
        description="Describe recordings from their metadata block and packet headers. "
                    "Times are the device clock's. Folders are searched for regular files "
                    "named *.cwa and *.cwa.gz. Exit status 1 when any cannot be read.")
    p.add_argument("recordings", nargs="+", metavar="REC",
                   help="recording files, or folders searched for *.cwa and *.cwa.gz")
    p.add_argument("--json", action="store_true",
                   help="one JSON object a line: path, metadata and sampling, the two reports "
                        "as the module returns them; for a recording that cannot be read, "
                        "path and error")
    add_verbosity(p)
    p.set_defaults(func=run)


def _or_dash(value: Any) -> str:
    return "-" if value is None else str(value)


def _hz(value: float | None) -> str:
    return "-" if value is None else f"{value:.6g} Hz"


def _duration(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    sign, rest = ("-" if seconds < 0 else ""), abs(seconds)
    days, rest = divmod(rest, 86400.0)
    hours, rest = divmod(rest, 3600.0)
    minutes, secs = divmod(rest, 60.0)
    clock = f"{int(hours):02d}:{int(minutes):02d}:{secs:06.3f}"
    whole = f"{sign}{int(days)} d {clock}" if days else f"{sign}{clock}"
    return f"{whole} ({seconds:g} s)"


def describe(path: str, meta: Mapping[str, Any], sampling: Mapping[str, Any]) -> str:
    """The text block `tiltgram info` prints for one recording."""
    ranges = f"accelerometer ±{meta['accel_range']} g"
    if meta["gyro_range"] is not None:
        ranges += f", gyroscope ±{meta['gyro_range']} °/s"
    if meta["magnetometer_enabled"]:
        ranges += ", magnetometer"
    rows = [
        ("device id", meta["device_id"]),
        ("session", meta["session_id"]),
        ("hardware", f"{meta['hardware_type']}, firmware {meta['firmware_revision']}"),
        ("first sample", _or_dash(sampling["start_from_data_raw"])),
        ("last sample", _or_dash(sampling["end_from_data_raw"])),
        ("duration", _duration(sampling["duration_s_from_data"])),
        ("logging", f"{_or_dash(sampling['start_from_header_raw'])} to "
                    f"{_or_dash(sampling['end_from_header_raw'])} (header)"),
        ("sampling rate", f"{_hz(sampling['samplingrate_hz_from_header'])} (header), "
                          f"{_hz(sampling['samplingrate_hz_from_data'])} (data)"),
        ("ranges", ranges),
        ("annotation", meta["annotation"]),
    ]
    return "\n".join([path] + [f"  {name:<16}{value}".rstrip() for name, value in rows])


# Both reports open the recording, one after the other: a pipe or FIFO would be drained by
# the first and waited on for ever by the second.
READ_TWICE = ("tiltgram info needs a regular file: it reads the recording twice, and a pipe "
              "can be read only once")


def _is_pipe(path: str) -> bool:
    try:
        return stat.S_ISFIFO(os.stat(path).st_mode)
    except (OSError, ValueError):
        return False  # the reader says what is wrong with it


def run(args: argparse.Namespace) -> int:
    import tiltgram

    from tiltgram_tools.batch import scan

    status = EXIT_OK
    first = True
    paths, refused = scan(args.recordings)
    failed = dict(refused)
    for path in paths + [p for p, _ in refused]:
        shown = display_path(path)
        message = failed.get(path)
        if message is None and _is_pipe(path):
            message = READ_TWICE
        if message is None:
            try:
                with readable_path(path) as readable, calling_reader():
                    meta = tiltgram.read_metadata(readable)
                    sampling = tiltgram.sampling_consistency_report(readable)
            except (ReaderError, OSError) as exc:
                message = failure_message(exc)
        if message is not None:
            log.error("%s: %s", shown, message, extra={"bare": True})
            status = EXIT_FAILED
            if args.json:
                print_out(json.dumps({"path": shown, "error": message}))
            continue
        if args.json:
            print_out(json.dumps({"path": shown, "metadata": meta, "sampling": sampling}))
        else:
            print_out(("" if first else "\n") + describe(shown, meta, sampling))
        first = False
    return status
