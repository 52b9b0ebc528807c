"""`tiltgram summarize`: activity summaries of many recordings, and the cohort's tables.

Each recording gets `<name>.epochs.csv` (or `.parquet`), its epochs as `summarize` gives them
(the index as column `timestamp`), and `<name>.summary.json`, its recording report and days;
both are written under temporary names and renamed when complete, the JSON last, so that
a recording is done exactly when its JSON exists (a re-run skips it unless `overwrite`).
At the end of every run, the cohort's tables are rewritten whole from the JSON files in the
folder: `recordings.csv` (a row per recording) and `days.csv` (a row per recording and day).
Recordings are found, planned and run in worker processes or on a Dask cluster as
`tiltgram convert` runs them (tiltgram_tools.batch): failures are listed on standard error and
in `failures.tsv`, and one bad recording never stops the batch.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import secrets
import sys
import time
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from tiltgram_tools.batch import (
    FAILURES_FILE, TEMP_SUFFIX, ConvertSummary, Task, UsageError, _FailureLog, _file_id,
    _locked, _progress_bar, _remove_stale_temporaries, _run_dask, _run_local, find_recordings,
)
from tiltgram_tools.cli import EXIT_USAGE
from tiltgram_tools.extras import require

__all__ = ["summarize_many", "write_cohort_tables", "RECORDINGS_FILE", "DAYS_FILE"]

Format = Literal["csv", "parquet"]
RECORDING_SUFFIXES = (".cwa.gz", ".cwa")
SUMMARY_SUFFIX = ".summary.json"
RECORDINGS_FILE = "recordings.csv"
DAYS_FILE = "days.csv"
# The keyword arguments of `tiltgram_tools.summarize` that a batch passes on.
SUMMARY_OPTIONS = frozenset({"epoch_s", "fixed_utc_offset_timezone", "calibrate"})
RECORDING_COLUMNS = (
    "name", "path", "first_sample", "last_sample", "calibration_status", "calibration_windows",
    "offset_x", "offset_y", "offset_z", "scale_x", "scale_y", "scale_z",
    "temperature_coef_x", "temperature_coef_y", "temperature_coef_z", "temperature_ref",
    "error_before_mg", "error_after_mg", "wear_h", "nonwear_h", "nodata_h", "valid_days",
    "enmo_mg", "enmo_mg_imputed",
)


def recording_name(path: str) -> str:
    """The input's file name without `.cwa` / `.cwa.gz`."""
    name = os.path.basename(path)
    for suffix in RECORDING_SUFFIXES:
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return name


@dataclass(frozen=True)
class SummaryTask(Task):
    """One recording to summarize: `final` is its JSON, `epochs_final` its epochs table."""

    epochs_final: str = ""
    epochs_temp: str = ""

    def run(self) -> None:
        from tiltgram_tools.summary import summarize

        s = summarize(self.source, **self.options)
        if self.format == "csv":
            s.epochs.to_csv(self.epochs_temp, index_label="timestamp")
        else:
            from tiltgram_tools.parquet import write_parquet

            write_parquet(s.epochs, self.epochs_temp)
        report = {
            "name": recording_name(self.source),
            "path": self.source,
            "recording": {k: (str(v) if k in ("first_sample", "last_sample") else v)
                          for k, v in s.recording.items()},
            "days": [{"date": str(day.date())} | {str(c): _plain(v) for c, v in row.items()}
                     for day, row in zip(s.days.index, s.days.to_dict("records"))],
        }
        with open(self.temp, "w", encoding="utf-8") as fh:
            json.dump(report, fh, indent=1)
        os.replace(self.epochs_temp, self.epochs_final)
        os.replace(self.temp, self.final)

    def discard(self) -> None:
        for path in (self.temp, self.epochs_temp):
            try:
                os.unlink(path)
            except OSError:
                pass


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python number or bool it holds."""
    return value.item() if hasattr(value, "item") else value


def _plan(sources: Sequence[str], out_dir: str, format: Format, overwrite: bool,
          options: Mapping[str, Any]) -> tuple[list[SummaryTask], list[str], set[tuple[int, int]]]:
    token = secrets.token_hex(4)
    by_name: dict[str, str] = {}
    input_ids: set[tuple[int, int]] = set()
    unique: list[str] = []
    for source in sources:
        file_id = _file_id(source)
        if file_id is not None:
            if file_id in input_ids:
                continue
            input_ids.add(file_id)
        name = recording_name(source)
        if name in by_name:
            if os.path.abspath(by_name[name]) == os.path.abspath(source):
                continue
            raise UsageError(f"{by_name[name]} and {source} would both be written to "
                             f"{os.path.join(out_dir, name)}.*")
        by_name[name] = source
        unique.append(source)
    tasks: list[SummaryTask] = []
    skipped: list[str] = []
    for source in unique:
        name = recording_name(source)
        final = os.path.join(out_dir, name + SUMMARY_SUFFIX)
        epochs = os.path.join(out_dir, f"{name}.epochs.{format}")
        for out in (final, epochs):
            if _file_id(out) in input_ids:
                raise UsageError(f"{out} is an input and would be an output")
        if os.path.exists(final) and os.path.exists(epochs) and not overwrite:
            skipped.append(final)
            continue
        tasks.append(SummaryTask(
            source, final, os.path.join(out_dir, f".{name}{SUMMARY_SUFFIX}.{token}{TEMP_SUFFIX}"),
            format, dict(options), _file_id(final),
            epochs_final=epochs,
            epochs_temp=os.path.join(out_dir, f".{name}.epochs.{format}.{token}{TEMP_SUFFIX}")))
    return tasks, skipped, input_ids


def _check_options(options: Mapping[str, Any], out_dir: str) -> None:
    """UsageError for options `summarize` refuses, before anything runs: it checks them before
    it opens the recording, so a call on one that does not exist refuses them or fails to
    open the file."""
    unknown = sorted(set(options) - SUMMARY_OPTIONS)
    if unknown:
        raise UsageError(f"unknown summary option {unknown[0]!r}")
    from tiltgram_tools.summary import summarize

    try:
        summarize(os.path.join(out_dir, f".{secrets.token_hex(8)}", "missing.cwa"), **options)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None
    except RuntimeError:
        pass


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
    names = sorted(n for n in os.listdir(out) if n.endswith(SUMMARY_SUFFIX) and not n.startswith("."))
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
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    format: Format = "csv",
    jobs: int | None = None,
    client: Any = None,
    overwrite: bool = False,
    progress: bool | None = None,
    log_failures: bool = True,
    **summary_options: Any,
) -> ConvertSummary:
    """Summarizes recordings into `out_dir` and rewrites the cohort's tables; returns what
    happened (`converted` counts the recordings summarized).

    `paths` are recordings or folders (searched for `*.cwa` and `*.cwa.gz`);
    `summary_options` are `summarize`'s `epoch_s`, `fixed_utc_offset_timezone` and
    `calibrate`. Workers, Dask, failures, resume and UsageError as in
    `tiltgram_tools.convert_many`.
    """
    started = time.perf_counter()
    out = os.fspath(out_dir)
    if format not in ("csv", "parquet"):
        raise UsageError(f"format must be one of csv, parquet, not {format!r}")
    if jobs is not None and jobs < 1:
        raise UsageError("jobs must be at least 1")
    if format == "parquet":
        require("pyarrow.parquet", "parquet")
    os.makedirs(out, exist_ok=True)
    _check_options(summary_options, out)
    sources = find_recordings(paths)
    with _locked(out):
        tasks, skipped, input_ids = _plan(sources, out, format, overwrite, summary_options)
        for table in (FAILURES_FILE, RECORDINGS_FILE, DAYS_FILE):
            if _file_id(os.path.join(out, table)) in input_ids:
                raise UsageError(f"{os.path.join(out, table)} is an input")
        _remove_stale_temporaries(out, input_ids)
        log = _FailureLog(out)
        failures: list[tuple[str, str]] = []
        bar = _progress_bar(len(tasks), progress, "summarizing")

        def done(task: Task, message: str | None) -> None:
            if message is not None:
                failures.append((task.source, message))
                log.add(task.source, message)
                if log_failures:
                    line = f"{task.source}: {message}"
                    if bar is not None:
                        bar.write(line, file=sys.stderr)
                    else:
                        print(line, file=sys.stderr, flush=True)
            if bar is not None:
                bar.update(1)

        try:
            if client is not None:
                _run_dask(client, tasks, done)
            elif tasks:
                _run_local(tasks, jobs or os.cpu_count() or 1, done)
        finally:
            log.close()
            if bar is not None:
                bar.close()
        write_cohort_tables(out)
    return ConvertSummary(
        converted=len(tasks) - len(failures), skipped=len(skipped), failed=len(failures),
        elapsed_s=time.perf_counter() - started, failures=tuple(failures))


# ---------------------------------------------------------------------------
# The `summarize` subcommand
# ---------------------------------------------------------------------------

def _epoch(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a whole number of seconds") from None


def add_parser(subparsers: Any) -> None:
    from tiltgram_tools.convert import _positive_int, _utc_offset

    p = subparsers.add_parser(
        "summarize", help="activity summaries of recordings, and the cohort's tables",
        description="Summarize recordings (calibration against gravity, non-wear, epochs and "
                    "days) to DIR/<name>.epochs.csv (or .parquet) and DIR/<name>.summary.json, "
                    "then rewrite DIR/recordings.csv and DIR/days.csv from every summary in "
                    "DIR. Outputs appear only when complete; recordings already summarized are "
                    "skipped unless --overwrite. Failures are listed on standard error and in "
                    "DIR/failures.tsv. Exit status: 0 all summarized, 1 some failed, 2 usage "
                    "error.")
    p.add_argument("recordings", nargs="*", metavar="REC",
                   help="recording files, or folders searched for *.cwa and *.cwa.gz")
    p.add_argument("--from-list", metavar="FILE", action="append", default=[],
                   help="a file of recordings, one path a line ('-': standard input)")
    p.add_argument("-o", "--out-dir", metavar="DIR", required=True, help="output folder")
    p.add_argument("--format", choices=("csv", "parquet"), default="csv",
                   help="of the epochs tables (default csv)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_positive_int, metavar="N",
                       help="worker processes on this machine (default: the number of cores)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="send the work to this Dask scheduler (its workers must see the paths)")
    p.add_argument("--overwrite", action="store_true", help="summarize again where outputs exist")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary line; failures are still listed")
    p.add_argument("--epoch-s", type=_epoch, default=30, metavar="S",
                   help="epoch length in seconds, dividing 86400, at most 3600 (default 30)")
    p.add_argument("--utc-offset", type=_utc_offset, metavar="+HH:MM",
                   help="the device clock's UTC offset; epochs and days become UTC")
    p.add_argument("--no-calibrate", dest="calibrate", action="store_false",
                   help="use the samples as read, without calibration against gravity")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from tiltgram_tools.convert import _connect, _list_paths

    def usage(message: str) -> int:
        print(f"tiltgram summarize: error: {message}", file=sys.stderr)
        return EXIT_USAGE

    options: dict[str, Any] = {"epoch_s": args.epoch_s, "calibrate": args.calibrate}
    if args.utc_offset is not None:
        options["fixed_utc_offset_timezone"] = args.utc_offset
    try:
        paths = list(args.recordings) + _list_paths(args.from_list)
    except OSError as exc:
        return usage(str(exc))
    if not paths:
        return usage("no recordings given (REC... or --from-list FILE)")
    client = None
    try:
        if args.scheduler is not None:
            client = _connect(args.scheduler)
        summary = summarize_many(paths, args.out_dir, format=args.format, jobs=args.jobs,
                                 client=client, overwrite=args.overwrite,
                                 progress=False if args.quiet else None, **options)
    except UsageError as exc:
        return usage(str(exc))
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(str(summary).replace("converted", "summarized", 1), file=sys.stderr)
    return summary.exit_status
