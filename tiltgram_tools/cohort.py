"""`tiltgram summarize`: activity summaries of many recordings, and the cohort's tables.

Each recording gets `<name>.epochs.csv` (or `.parquet`), its epochs as `summarize` gives them
(the index as column `timestamp`), and `<name>.summary.json`, its recording report and days;
both are written under temporary names and renamed when complete, the JSON first, so that
a recording is done exactly when its epochs table exists (a re-run skips it unless
`overwrite`).
At the end of every run, the cohort's tables are rewritten whole from the JSON files in the
folder: `recordings.csv` (a row per recording) and `days.csv` (a row per recording and day).
The batch is `tiltgram_tools.run_batch`'s, as for `tiltgram convert` (the epochs table is the
job's output): folders, worker processes or a Dask cluster, failures in `failures.tsv`,
resume, the manifest of settings.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import math
import os
import secrets
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Literal

from tiltgram_tools.batch import TEMP_SUFFIX, ConvertSummary, Job, Progress, _jsonable, output_name, run_batch
from tiltgram_tools.common import (ReaderError, StrPath, UsageError, absolute, calling_reader,
                                   failure_message)
from tiltgram_tools.extras import require

__all__ = ["summarize_many", "summary_job", "write_cohort_tables", "RECORDINGS_FILE", "DAYS_FILE"]

Format = Literal["csv", "parquet"]
SUMMARY_SUFFIX = ".summary.json"
RECORDINGS_FILE = "recordings.csv"
DAYS_FILE = "days.csv"
# The keyword arguments of `tiltgram_tools.summarize` that a batch passes on, and what it
# uses when one is left out.
SUMMARY_DEFAULTS: dict[str, Any] = {"epoch_s": 30, "fixed_utc_offset_timezone": None,
                                    "calibrate": True}
RECORDING_COLUMNS = (
    "name", "path", "first_sample", "last_sample", "calibration_status", "calibration_windows",
    "offset_x", "offset_y", "offset_z", "scale_x", "scale_y", "scale_z",
    "temperature_coef_x", "temperature_coef_y", "temperature_coef_z", "temperature_ref",
    "error_before_mg", "error_after_mg", "wear_h", "nonwear_h", "nodata_h", "valid_days",
    "enmo_mg", "enmo_mg_imputed",
)


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number or bool it holds."""
    return value.item() if hasattr(value, "item") else value


def write_summary(source: str, temp: str, settings: Mapping[str, Any]) -> None:
    """The job of one recording (a worker process): its epochs to `temp` (the batch renames
    it to `<name>.epochs.csv` or `.parquet`), and first, renamed into place beside it,
    `<name>.summary.json`, the recording report and the days."""
    from tiltgram_tools.summary import summarize

    options = {k: settings[k] for k in SUMMARY_DEFAULTS}
    with calling_reader():
        s = summarize(source, **options)
    if settings["format"] == "csv":
        s.epochs.to_csv(temp, index_label="timestamp")
    else:
        from tiltgram_tools.parquet import write_parquet

        write_parquet(s.epochs, temp)
    # The batch hands a name that is not text over as /proc/self/fd/N: its link is the file.
    real = os.readlink(source) if source.startswith("/proc/self/fd/") else source
    final = os.path.join(os.path.dirname(temp), output_name(real, SUMMARY_SUFFIX[1:]))
    report = {
        "name": os.path.basename(final)[: -len(SUMMARY_SUFFIX)],
        "path": real,
        "recording": {k: (str(v) if k in ("first_sample", "last_sample") else v)
                      for k, v in s.recording.items()},
        "days": [{"date": str(day.date())} | {str(c): _plain(v) for c, v in row.items()}
                 for day, row in zip(s.days.index, s.days.to_dict("records"))],
    }
    part = f"{temp}.json{TEMP_SUFFIX}"
    try:
        with open(part, "w", encoding="utf-8") as fh:
            json.dump(report, fh, indent=1)
        os.replace(part, final)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(part)
        raise


def summary_job(format: Format, options: Mapping[str, Any]) -> Job:
    """The job of `summarize_many`: UsageError for an unknown option or format, or options
    `summarize` refuses (it checks them before it opens the recording, so a call on one that
    does not exist refuses them or fails to open the file)."""
    if format not in ("csv", "parquet"):
        raise UsageError(f"format must be one of csv, parquet, not {format!r}")
    unknown = sorted(set(options) - set(SUMMARY_DEFAULTS))
    if unknown:
        raise UsageError(f"unknown summary option {unknown[0]!r}")
    settings = {**SUMMARY_DEFAULTS, **options}
    from tiltgram_tools.summary import summarize

    try:
        with calling_reader():
            summarize(os.path.join(os.sep, f".tiltgram-{secrets.token_hex(8)}", "missing.cwa"),
                      **settings)
    except ReaderError as exc:
        if exc.options:
            raise UsageError(failure_message(exc)) from None
    settings["format"] = format
    preload: tuple[str, ...] = ("pandas", "tiltgram_tools.summary", "tiltgram_tools.cohort")
    if format == "parquet":
        preload += ("pyarrow.parquet", "tiltgram_tools.parquet")
    return Job("summarize", f"epochs.{format}", write_summary, settings, _jsonable(settings), preload,
               verb="summarized")


def _write_atomic_csv(path: str, header: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
    tmp = f"{path}.{secrets.token_hex(4)}{TEMP_SUFFIX}"
    folder, name = os.path.split(tmp)
    tmp = os.path.join(folder, "." + name)
    try:
        with open(tmp, "w", encoding="utf-8", newline="") as fh:
            writer = csv.writer(fh, lineterminator="\n")
            writer.writerow(header)
            writer.writerows(rows)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _cell(value: Any) -> Any:
    if isinstance(value, float) and math.isnan(value):
        return ""
    return value


def write_cohort_tables(out_dir: str | os.PathLike[str]) -> tuple[int, int]:
    """Rewrites `recordings.csv` and `days.csv` in `out_dir` from every `<name>.summary.json`
    there (by name); returns the numbers of recordings and days. Empty cells are NaN."""
    out = os.fspath(out_dir)
    present = set(os.listdir(out))
    names = sorted(n for n in present if n.endswith(SUMMARY_SUFFIX) and not n.startswith(".")
                   and any(n[: -len(SUMMARY_SUFFIX)] + f".epochs.{f}" in present
                           for f in ("csv", "parquet")))
    recordings: list[list[Any]] = []
    days: list[list[Any]] = []
    day_columns: list[str] = []
    for file in names:
        with open(os.path.join(out, file), encoding="utf-8") as fh:
            report = json.load(fh)
        rec, cal = report["recording"], report["recording"]["calibration"]
        recordings.append([_cell(v) for v in (
            report["name"], report["path"], rec["first_sample"], rec["last_sample"],
            cal["status"], cal["windows"], *cal["offset"], *cal["scale"],
            *cal["temperature_coef"], cal["temperature_ref"], cal["error_before_mg"],
            cal["error_after_mg"], rec["wear_h"], rec["nonwear_h"], rec["nodata_h"],
            rec["valid_days"], rec["enmo_mg"], rec["enmo_mg_imputed"])])
        for day in report["days"]:
            if not day_columns:
                day_columns = list(day)
            days.append([report["name"]] + [_cell(day[c]) for c in day_columns])
    if not day_columns:
        from tiltgram_tools.summary import DAY_COLUMNS

        day_columns = ["date", *DAY_COLUMNS]
    _write_atomic_csv(os.path.join(out, RECORDINGS_FILE), RECORDING_COLUMNS, recordings)
    _write_atomic_csv(os.path.join(out, DAYS_FILE), ["name", *day_columns], days)
    return len(recordings), len(days)


def summarize_many(
    paths: Iterable[StrPath],
    out_dir: StrPath,
    *,
    format: Format = "csv",
    jobs: int | None = None,
    client: Any = None,
    overwrite: bool = False,
    progress: Callable[[Progress], None] | bool | None = None,
    log_failures: bool = True,
    **summary_options: Any,
) -> ConvertSummary:
    """Summarizes recordings into `out_dir` and rewrites the cohort's tables; returns what
    happened (`converted` counts the recordings summarized).

    `summary_options` are `summarize`'s `epoch_s`, `fixed_utc_offset_timezone` and
    `calibrate`; the rest is `tiltgram_tools.run_batch`'s (folders, workers, Dask, failures,
    resume, the manifest, UsageError).
    """
    job = summary_job(format, summary_options)
    if format == "parquet":
        require("pyarrow.parquet", "parquet")
    summary = run_batch(paths, out_dir, job, jobs=jobs, client=client, overwrite=overwrite,
                        progress=progress, log_failures=log_failures)
    write_cohort_tables(absolute(out_dir))
    return summary


# ---------------------------------------------------------------------------
# The `summarize` subcommand
# ---------------------------------------------------------------------------

def _epoch(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a whole number of seconds") from None


def add_parser(subparsers: Any) -> None:
    from tiltgram_tools.batch_command import add_batch_arguments
    from tiltgram_tools.common import UTC_OFFSET_HELP, utc_offset_arg

    p = subparsers.add_parser(
        "summarize", help="activity summaries of recordings, and the cohort's tables",
        description="Summarize recordings (calibration against gravity, non-wear, epochs and "
                    "days) to DIR/<name>.epochs.csv (or .parquet) and DIR/<name>.summary.json, "
                    "then rewrite DIR/recordings.csv and DIR/days.csv from every summary in "
                    "DIR. Outputs appear only when complete; recordings already summarized are "
                    "skipped unless --overwrite. Failures are listed on standard error and in "
                    "DIR/failures.tsv. Exit status: 0 all summarized, 1 some failed, 2 usage "
                    "error (nothing done).")
    add_batch_arguments(p)
    p.add_argument("--format", choices=("csv", "parquet"), default="csv",
                   help="of the epochs tables (default csv)")
    p.add_argument("--epoch-s", type=_epoch, default=30, metavar="S",
                   help="epoch length in seconds, dividing 86400, at most 3600 (default 30)")
    p.add_argument("--utc-offset", type=utc_offset_arg, metavar="+HH:MM", help=UTC_OFFSET_HELP)
    p.add_argument("--no-calibrate", dest="calibrate", action="store_false",
                   help="use the samples as read, without calibration against gravity")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from tiltgram_tools.batch_command import run_batch_command

    if args.format == "parquet":
        require("pyarrow.parquet", "parquet")
    options: dict[str, Any] = {"epoch_s": args.epoch_s, "calibrate": args.calibrate}
    if args.utc_offset is not None:
        options["fixed_utc_offset_timezone"] = args.utc_offset
    status = run_batch_command(args, summary_job(args.format, options))
    write_cohort_tables(absolute(args.out_dir))
    return status
