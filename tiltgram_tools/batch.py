"""Many recordings, one job each: on this machine's worker processes or a Dask cluster.

`run_batch` is the machinery, for any job that turns one recording into one output file
(`Job`: the output's suffix, a function that writes it, and the settings it was asked for);
`convert_many` is the job of `tiltgram convert` (CSV or Parquet).

The plan is made in full before anything runs: recordings are found (folders are searched
for regular files named `*.cwa` and `*.cwa.gz`, and links to them), each gets its output name
in the output folder, and two inputs that would write one output, or an input that is an
output, are refused. Every path is made absolute first: worker processes and Dask workers
run in other folders. Then each job writes to a temporary name in the output folder and
renames it to its final name when complete, so an output name only ever holds a complete
file; temporaries left by an interrupted run are removed by the next one. Outputs that exist
are skipped (resume) unless `overwrite` is set; the settings each output was made with are
kept in the folder's manifest (`tiltgram-manifest.jsonl`, a JSON object a line), and a
re-run with other settings is refused with what differs rather than skipping those outputs.

The reader holds the interpreter lock for a whole call, so jobs run in processes: `jobs`
worker processes of our own here, or the workers of a Dask cluster. Each local worker takes
one recording at a time and the parent knows which one, so a worker that dies (killed, out
of memory) fails exactly its recording and a new worker takes over; one that dies between
two recordings fails none. Whatever goes wrong with one recording (a name that is not text,
a FIFO in a searched folder, its worker's death) is that recording's failure, never the
end of the batch.
"""

from __future__ import annotations

import contextlib
import csv
import datetime as dt
import fcntl
import importlib.util
import json
import logging
import math
import multiprocessing
import os
import secrets
import signal
import sys
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from typing import IO, TYPE_CHECKING, Any, Literal, TypedDict, Unpack

import tiltgram

from tiltgram_tools.common import (ReaderError, StrPath, UsageError, absolute, calling_reader,
                                   display_path, failure_message, format_utc_offset,
                                   is_text_name, log_lines_through, readable_path)
from tiltgram_tools.extras import require

if TYPE_CHECKING:
    from tiltgram import BlocksCut, SecondsCut

__all__ = ["ConvertSummary", "Job", "Progress", "ReadOptions", "UsageError", "convert_many",
           "find_recordings", "output_name", "run_batch", "scan"]

log = logging.getLogger(__name__)

Format = Literal["csv", "parquet"]
FORMATS: tuple[Format, ...] = ("csv", "parquet")
RECORDING_SUFFIXES = (".cwa.gz", ".cwa")
FAILURES_FILE = "failures.tsv"
MANIFEST_FILE = "tiltgram-manifest.jsonl"
TEMP_SUFFIX = ".tiltgram-tmp"


class ReadOptions(TypedDict, total=False):
    """The keyword arguments of `tiltgram.read_cwa_file` and `tiltgram.write_cwa_csv` that a
    batch passes on; see those functions."""

    cut: SecondsCut | BlocksCut | None
    include_magnetometer: bool
    include_temperature: bool
    include_light: bool
    include_battery: bool
    resample_hz: float | None
    resample_method: str
    fixed_utc_offset_timezone: dt.tzinfo | None


# What a batch reads when an option is left out: every column, for CSV and Parquet alike
# (the two module functions differ in their own defaults).
READ_DEFAULTS: ReadOptions = {
    "cut": None, "include_magnetometer": True, "include_temperature": True,
    "include_light": True, "include_battery": True, "resample_hz": None,
    "resample_method": "cubic", "fixed_utc_offset_timezone": None,
}


@dataclass(frozen=True)
class Job:
    """What to do with each recording of a batch.

    `write(source, temp, settings)` runs in a worker process: it reads the recording at
    `source` (a name the reader can open) and writes the whole output to `temp`, raising on
    failure (a `tiltgram` call inside `common.calling_reader()`, so that its errors are told
    as the reader's). It must be a module-level function. `suffix` names the outputs
    (`<name>.<suffix>`); `name` and `record` (JSON values) go to the manifest, and a re-run
    whose `name`/`record` differ from an output's is refused unless it overwrites.
    `preload` lists modules worker processes import once, before their first recording.
    `verb` says what was done to a recording in the batch's summary line.
    """

    name: str
    suffix: str
    write: Callable[[str, str, Mapping[str, Any]], None]
    settings: Mapping[str, Any] = field(default_factory=dict)
    record: Mapping[str, Any] = field(default_factory=dict)
    preload: tuple[str, ...] = ()
    verb: str = "converted"


@dataclass(frozen=True)
class Progress:
    """One recording done: `done` of `total`, and its failure message (None: converted)."""

    done: int
    total: int
    source: str
    failure: str | None


@dataclass(frozen=True)
class ConvertSummary:
    """What a batch did. `failures` holds (input path, message) in the order they happened;
    a path that is not text has its other bytes as `\\xNN` escapes."""

    converted: int
    skipped: int
    failed: int
    elapsed_s: float
    failures: tuple[tuple[str, str], ...] = ()
    verb: str = "converted"  # what was done to each recording, in the summary line

    @property
    def exit_status(self) -> int:
        return 1 if self.failed else 0

    def __str__(self) -> str:
        return (f"{self.verb} {self.converted}, skipped {self.skipped}, failed {self.failed}, "
                f"elapsed {self.elapsed_s:.1f} s")


@dataclass(frozen=True)
class Task:
    """One recording: run the job on `source`, write `temp`, rename it to `final`."""

    source: str
    final: str
    temp: str
    job: Job
    cancelled: str  # a file whose existence means the run was interrupted
    replaces: tuple[int, int] | None = None  # the file id of the output it overwrites

    def completed(self) -> bool:
        """Whether the output was renamed into place, by a worker that may have died after."""
        file_id = _file_id(self.final)
        return file_id is not None and file_id != self.replaces and not os.path.exists(self.temp)

    def abandon(self, message: str) -> Outcome | None:
        """After its worker died: None when the output is complete all the same, else the
        temporary is removed and `message` is the failure."""
        if self.completed():
            return None
        with contextlib.suppress(OSError):
            os.unlink(self.temp)
        return (message, False)


# A task's failure: its message, and whether it is the reader refusing the job's options.
Outcome = tuple[str, bool]


# ---------------------------------------------------------------------------
# Finding recordings and naming outputs
# ---------------------------------------------------------------------------

def is_recording_name(name: str) -> bool:
    return name.lower().endswith(RECORDING_SUFFIXES)


def scan(inputs: Iterable[StrPath]) -> tuple[list[str], list[tuple[str, str]]]:
    """(recordings, refused): files as given, and folders searched recursively for
    `*.cwa` and `*.cwa.gz` (any case), in sorted order.

    From folders only regular files and links to them are taken; a FIFO, a socket, a device
    or a broken link of a recording's name is refused with why, as is a folder that cannot
    be searched. A path given itself is taken as it is (a FIFO is read; a path that does not
    exist fails with the reader's message).
    """
    found: list[str] = []
    refused: list[tuple[str, str]] = []

    def unreadable(err: OSError) -> None:
        refused.append((err.filename or "?", failure_message(err)))

    for item in inputs:
        path = os.fspath(item)
        if not os.path.isdir(path):
            found.append(path)
            continue
        for root, dirs, files in os.walk(path, onerror=unreadable):
            dirs.sort()
            for name in sorted(files):
                if not is_recording_name(name):
                    continue
                full = os.path.join(root, name)
                if os.path.isfile(full):  # follows links
                    found.append(full)
                else:
                    refused.append((full, _not_regular(full)))
    return found, refused


def _not_regular(path: str) -> str:
    import stat

    try:
        mode = os.stat(path).st_mode
    except OSError:
        return "a link to nothing; not read"
    kind = ("a FIFO" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode)
            else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else "not a file")
    return f"{kind}, not a regular file; not read from a folder (name it to read it)"


def find_recordings(inputs: Iterable[StrPath]) -> list[str]:
    """The recordings `scan` takes (what it refuses is left out)."""
    return scan(inputs)[0]


def output_name(path: StrPath, suffix: str) -> str:
    """The output's file name: the input's name without `.cwa` / `.cwa.gz`, plus `.suffix`."""
    name = os.path.basename(os.fspath(path))
    for recording_suffix in RECORDING_SUFFIXES:
        if name.lower().endswith(recording_suffix):
            name = name[: -len(recording_suffix)]
            break
    return f"{name}.{suffix}"


def _file_id(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


# ---------------------------------------------------------------------------
# The output folder: lock, manifest, failure log
# ---------------------------------------------------------------------------

@contextlib.contextmanager
def _locked(out_dir: str) -> Iterator[None]:
    """Holds the output folder for this run, so that no second run removes our temporaries.
    The lock is on the folder itself: nothing is left behind."""
    fd = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UsageError(f"another run is writing to {display_path(out_dir)}") from None
        except OSError:
            pass  # a file system without locks: go on unguarded
        yield
    finally:
        os.close(fd)


def _check_writable(out_dir: str) -> None:
    probe = os.path.join(out_dir, f".{secrets.token_hex(4)}-probe{TEMP_SUFFIX}")
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        os.unlink(probe)
    except OSError as exc:
        raise UsageError(f"cannot write in {display_path(out_dir)}: "
                         f"{exc.strerror or exc}") from None


def _read_manifest(out_dir: str) -> dict[str, dict[str, Any]]:
    """Output name -> its latest manifest entry; unreadable lines are passed over."""
    entries: dict[str, dict[str, Any]] = {}
    try:
        with open(os.path.join(out_dir, MANIFEST_FILE), "rb") as fh:
            for line in fh:
                try:
                    entry = json.loads(line)
                    name = entry["output"]
                except (ValueError, KeyError, TypeError):
                    continue
                if isinstance(name, str) and isinstance(entry, dict):
                    entries[name] = entry
    except OSError:
        pass
    return entries


def _differences(entry: Mapping[str, Any], job: Job) -> list[str]:
    before = {"job": entry.get("job"), **(entry.get("settings") or {})}
    now = {"job": job.name, **job.record}
    return [f"{key} {json.dumps(before.get(key))} (now {json.dumps(now.get(key))})"
            for key in sorted(set(before) | set(now)) if before.get(key) != now.get(key)]


class _Appender:
    """Lines appended to a file of the output folder as things happen. A write that fails
    (a full disk) is reported once and the run goes on: what it would have held is also
    in the summary and on standard error."""

    def __init__(self, path: str, what: str) -> None:
        self.path = path
        self.what = what
        self.file: IO[str] | None = None
        self.broken = False

    def _fail(self, exc: OSError) -> None:
        self.broken = True
        log.warning("cannot write %s (%s): %s", display_path(self.path),
                    exc.strerror or exc, self.what)
        if self.file is not None:
            with contextlib.suppress(OSError):
                self.file.close()
            self.file = None

    def open(self, mode: str, first: str | None) -> bool:
        if self.file is None and not self.broken:
            try:
                file = self.file = open(self.path, mode, encoding="utf-8", newline="")
                if first is not None:
                    file.write(first)
            except OSError as exc:
                self._fail(exc)
        return self.file is not None

    def write(self, text: str) -> None:
        if self.file is None:
            return
        try:
            self.file.write(text)
            self.file.flush()
        except OSError as exc:
            self._fail(exc)

    def close(self) -> None:
        if self.file is not None:
            try:
                self.file.close()
            except OSError as exc:
                self.file = None
                self._fail(exc)
            self.file = None


class _FailureLog(_Appender):
    """`failures.tsv`: a header, then one `path<TAB>message` row per failure, written as they
    happen; absent after a run without failures."""

    def __init__(self, out_dir: str) -> None:
        super().__init__(os.path.join(out_dir, FAILURES_FILE),
                         "the failures are listed on standard error only")
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        except OSError as exc:
            self._fail(exc)

    def add(self, source: str, message: str) -> None:
        if self.open("w", "path\tmessage\n"):
            line = csv.writer(_Line(), delimiter="\t", lineterminator="\n")
            self.write(line.writerow([display_path(source), message]))


class _Line:
    """A csv writer's target that returns the row's text."""

    def write(self, text: str) -> str:
        return text


class _Manifest(_Appender):
    def __init__(self, out_dir: str, job: Job) -> None:
        super().__init__(os.path.join(out_dir, MANIFEST_FILE),
                         "a re-run cannot tell the settings of this run's outputs")
        self.job = job

    def add(self, task: Task) -> None:
        if self.open("a", None):
            # A name that is not text keeps its bytes as escaped surrogates.
            entry = {"output": os.path.basename(task.final),
                     "source": display_path(task.source), "job": self.job.name,
                     "settings": dict(self.job.record),
                     "written": dt.datetime.now(dt.UTC).isoformat(timespec="seconds")}
            self.write(json.dumps(entry, ensure_ascii=True) + "\n")


# ---------------------------------------------------------------------------
# The plan
# ---------------------------------------------------------------------------

def _plan(sources: Sequence[str], out_dir: str, job: Job, overwrite: bool,
          ) -> tuple[list[Task], list[str], set[tuple[int, int]]]:
    """Tasks to run, outputs skipped, and the file ids of all inputs; UsageError on a clash
    or on outputs made with other settings."""
    token = secrets.token_hex(4)
    by_name: dict[str, str] = {}
    input_ids: set[tuple[int, int]] = set()
    unique: list[str] = []
    seen_missing: set[str] = set()
    for source in sources:
        file_id = _file_id(source)
        if file_id is None:
            if source in seen_missing:
                continue
            seen_missing.add(source)
        elif file_id in input_ids:
            continue  # the same file named twice (a folder and a file in it, a link)
        else:
            input_ids.add(file_id)
        name = output_name(source, job.suffix)
        if name in by_name:
            raise UsageError(f"{display_path(by_name[name])} and {display_path(source)} would "
                             f"both be written to {display_path(os.path.join(out_dir, name))}")
        by_name[name] = source
        unique.append(source)
    existing = set(os.listdir(out_dir)) if os.path.isdir(out_dir) else set()
    manifest = _read_manifest(out_dir) if existing else {}
    cancelled = os.path.join(out_dir, f".{token}.interrupted{TEMP_SUFFIX}")
    tasks: list[Task] = []
    skipped: list[str] = []
    other_settings: list[tuple[str, list[str]]] = []
    for index, source in enumerate(unique):
        name = output_name(source, job.suffix)
        final = os.path.join(out_dir, name)
        if name in existing:
            if _file_id(final) in input_ids:
                raise UsageError(f"{display_path(final)} is an input and would be an output")
            if not overwrite:
                entry = manifest.get(name)
                differ = _differences(entry, job) if entry is not None else []
                if differ:
                    other_settings.append((final, differ))
                else:
                    log.info("%s: exists, skipped", display_path(final))
                skipped.append(final)
                continue
        # A short plain temporary name: the output's own may be long or not text.
        temp = os.path.join(out_dir, f".{token}-{index}{TEMP_SUFFIX}")
        replaces = _file_id(final) if name in existing else None
        tasks.append(Task(source, final, temp, job, cancelled, replaces))
    if other_settings:
        final, differ = other_settings[0]
        more = f" (and {len(other_settings) - 1} more outputs)" if len(other_settings) > 1 else ""
        raise UsageError(
            f"{display_path(final)}{more} was made with other settings: {'; '.join(differ)}. "
            "--overwrite makes them again with these, or use another output folder")
    return tasks, skipped, input_ids


def _remove_stale_temporaries(out_dir: str, input_ids: set[tuple[int, int]]) -> None:
    for entry in os.scandir(out_dir):
        if entry.name.startswith(".") and entry.name.endswith(TEMP_SUFFIX) and \
                entry.is_file(follow_symlinks=False):
            if _file_id(entry.path) not in input_ids:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(entry.path)


# ---------------------------------------------------------------------------
# One recording (runs in a worker process)
# ---------------------------------------------------------------------------

def run_task(task: Task) -> Outcome | None:
    """Runs the job on one recording; returns None on success or its failure.

    The output is complete under its final name or absent: it is written to `task.temp`
    and renamed, and the temporary is removed on failure or when the run was interrupted
    meanwhile (a Dask task goes on after its run is cancelled).
    """
    try:
        with readable_path(task.source) as source:
            task.job.write(source, task.temp, task.job.settings)
        if os.path.exists(task.cancelled):
            os.unlink(task.temp)
            return ("the run was interrupted", False)
        os.replace(task.temp, task.final)
    except Exception as exc:  # one bad recording never stops the batch
        with contextlib.suppress(OSError):
            os.unlink(task.temp)
        return (failure_message(exc), isinstance(exc, ReaderError) and exc.options)
    return None


# ---------------------------------------------------------------------------
# Worker processes on this machine
# ---------------------------------------------------------------------------

def _worker_main(conn: Connection) -> None:
    # Ctrl-C in a terminal reaches the whole process group: the parent decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    while True:
        try:
            task = conn.recv()
        except EOFError:
            return
        if task is None:
            return
        conn.send(run_task(task))


def _death_message(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            how = f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            how = f"killed by signal {-exitcode}"
        if exitcode == -signal.SIGKILL:
            how += ", perhaps for lack of memory"
    else:
        how = f"exit status {exitcode}"
    return f"the worker process converting it died ({how})"


class _Worker:
    def __init__(self, ctx: Any) -> None:
        parent, child = multiprocessing.Pipe()
        self.conn = parent
        self.process: BaseProcess = ctx.Process(target=_worker_main, args=(child,), daemon=True)
        self.process.start()
        child.close()
        self.task: Task | None = None

    def give(self, task: Task) -> bool:
        """Hands the task over; False when the worker is gone (it died while idle)."""
        try:
            self.conn.send(task)
        except OSError:
            return False
        self.task = task
        return True

    def stop(self, *, kill: bool) -> None:
        if kill:
            self.process.kill()
        else:
            with contextlib.suppress(OSError):
                self.conn.send(None)
        self.process.join()
        self.conn.close()


def _process_context(preload: Sequence[str]) -> Any:
    # Workers fork from a server that has imported what they need once; forking the parent
    # itself is unsafe once it runs threads (a progress bar's, a caller's). The list takes
    # effect when the server starts, at the process's first pool.
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(["tiltgram_tools.batch", *preload])
    return ctx


def _run_local(tasks: Sequence[Task], jobs: int,
               done: Callable[[Task, Outcome | None], None]) -> None:
    ctx = _process_context(tasks[0].job.preload)
    pending = deque(tasks)
    workers: list[_Worker] = []

    def retire(w: _Worker) -> None:
        w.process.join()
        w.conn.close()
        workers.remove(w)

    try:
        while pending or any(w.task for w in workers):
            for w in list(workers):
                if w.task is None and pending:
                    if w.give(pending[0]):
                        pending.popleft()
                    else:  # died while idle: the recording never started, another worker has it
                        log.debug("a worker process died between two recordings (%s)",
                                  _death_message(w.process.exitcode))
                        retire(w)
            while pending and len(workers) < jobs:
                w = _Worker(ctx)
                workers.append(w)
                if not w.give(pending[0]):
                    retire(w)
                    raise OSError(f"a new worker process died at once "
                                  f"({_death_message(w.process.exitcode)})")
                pending.popleft()
            busy = [w for w in workers if w.task is not None]
            ready = wait([w.conn for w in busy] + [w.process.sentinel for w in busy])
            for w in busy:
                if w.conn not in ready and w.process.sentinel not in ready:
                    continue
                task, w.task = w.task, None
                assert task is not None
                outcome: Outcome | None = None
                delivered = False
                if w.conn.poll():
                    with contextlib.suppress(EOFError, OSError):
                        outcome = w.conn.recv()
                        delivered = True
                if delivered:
                    done(task, outcome)
                    if w.process.sentinel not in ready:
                        continue
                else:
                    # The worker died with the task in hand: the task fails (unless the
                    # output was complete), a new worker takes the next one.
                    w.process.join()
                    done(task, task.abandon(_death_message(w.process.exitcode)))
                retire(w)
    except BaseException:
        for w in workers:
            w.stop(kill=True)
            if w.task is not None:
                with contextlib.suppress(OSError):
                    os.unlink(w.task.temp)
        raise
    for w in workers:
        w.stop(kill=False)


# ---------------------------------------------------------------------------
# A Dask cluster
# ---------------------------------------------------------------------------

def _run_dask(client: Any, tasks: Sequence[Task],
              done: Callable[[Task, Outcome | None], None]) -> None:
    distributed = require("distributed", "dask")
    token = secrets.token_hex(4)
    futures = client.map(run_task, tasks, pure=False,
                         key=[f"tiltgram-batch-{token}-{i}" for i in range(len(tasks))])
    task_of = {f.key: t for f, t in zip(futures, tasks)}
    try:
        for future in distributed.as_completed(futures):
            task = task_of[future.key]
            try:
                outcome = future.result()
            except distributed.KilledWorker as exc:
                outcome = task.abandon(f"the Dask worker converting it died ({exc})")
            except Exception as exc:
                outcome = (failure_message(exc), False)
            future.release()
            done(task, outcome)
    except BaseException as exc:
        # Tasks already running cannot be stopped; they see this file before renaming their
        # output, and remove their temporary instead. (Options the reader refuses fail
        # every task before it writes anything.)
        if tasks and not isinstance(exc, UsageError):
            with contextlib.suppress(OSError):
                os.close(os.open(tasks[0].cancelled, os.O_WRONLY | os.O_CREAT, 0o644))
        client.cancel(futures)
        raise


# ---------------------------------------------------------------------------
# The batch
# ---------------------------------------------------------------------------

def _tqdm_progress(enabled: bool | None, desc: str,
                   ) -> tuple[Callable[[Progress], None] | None, Any]:
    """A progress bar on standard error as a callback, and the bar (to close)."""
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled:
        return None, None
    try:
        tqdm = require("tqdm", "progress").tqdm
    except ImportError as exc:
        log.warning("no progress bar: %s", exc, extra={"bare": True})
        return None, None
    bar: Any = None

    def update(p: Progress) -> None:
        nonlocal bar
        if bar is None:
            bar = tqdm(total=p.total, unit="rec", desc=desc, file=sys.stderr,
                       dynamic_ncols=True)
        bar.update(1)

    class Closer:
        def close(self) -> None:
            if bar is not None:
                bar.close()

        def write(self, line: str) -> None:
            if bar is not None:
                bar.write(line, file=sys.stderr)
            else:
                print(line, file=sys.stderr, flush=True)

    return update, Closer()


def run_batch(
    paths: Iterable[StrPath],
    out_dir: StrPath,
    job: Job,
    *,
    jobs: int | None = None,
    client: Any = None,
    overwrite: bool = False,
    progress: Callable[[Progress], None] | bool | None = None,
    log_failures: bool = True,
) -> ConvertSummary:
    """Runs `job` on every recording of `paths` into `out_dir`; returns what happened.

    `paths` are recordings or folders (searched recursively for `*.cwa` and `*.cwa.gz`).
    `jobs` worker processes run on this machine (default: the number of cores), or `client`
    (a `distributed.Client`) sends one task per recording to its cluster, whose workers must
    see the same files (paths are sent absolute). A recording that fails is a failure, never
    the end of the batch: it is logged as `path: message` (logger "tiltgram_tools.batch",
    level ERROR; not when `log_failures` is false) and written to `out_dir/failures.tsv`.
    `progress` is called with a `Progress` after each recording (True: a bar on standard
    error; None: a bar when standard error is a terminal). Raises UsageError, with nothing
    done and no folder made, for two inputs with one output name, an input that is an output,
    outputs made with other settings (unless `overwrite`), an output folder that cannot be
    written, and settings the reader refuses.
    """
    started = time.perf_counter()
    out = absolute(out_dir)
    if jobs is not None and jobs < 1:
        raise UsageError("jobs must be at least 1")
    if os.path.lexists(out) and not os.path.isdir(out):
        raise UsageError(f"{display_path(out)} is not a folder")
    if not is_text_name(out):
        # The reader writes to a temporary in it, and takes paths as text.
        raise UsageError(f"the output folder's name {display_path(out)} is not UTF-8 text")
    sources, refused = scan(absolute(p) for p in paths)
    _plan(sources, out, job, overwrite)  # refuse clashes before making anything
    made = not os.path.exists(out)
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot make the folder {display_path(out)}: "
                         f"{exc.strerror or exc}") from None
    try:
        with _locked(out):
            _check_writable(out)
            tasks, skipped, input_ids = _plan(sources, out, job, overwrite)
            if _file_id(os.path.join(out, FAILURES_FILE)) in input_ids:
                raise UsageError(f"{display_path(os.path.join(out, FAILURES_FILE))} is an input")
            return _run(tasks, skipped, refused, input_ids, out, job, jobs=jobs, client=client,
                        progress=progress, log_failures=log_failures, started=started)
    except UsageError:
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(out)  # only when still empty
        raise


def _run(tasks: list[Task], skipped: list[str], refused: list[tuple[str, str]],
         input_ids: set[tuple[int, int]], out: str, job: Job, *, jobs: int | None,
         client: Any, progress: Callable[[Progress], None] | bool | None,
         log_failures: bool, started: float) -> ConvertSummary:
    _remove_stale_temporaries(out, input_ids)
    failure_log = _FailureLog(out)
    manifest = _Manifest(out, job)
    failures: list[tuple[str, str]] = []
    total = len(tasks) + len(refused)
    count = 0
    closer: Any = None
    report: Callable[[Progress], None] | None
    if callable(progress):
        report = progress
    else:
        report, closer = _tqdm_progress(progress, job.name)

    def done(source: str, task: Task | None, outcome: Outcome | None) -> None:
        nonlocal count
        count += 1
        message = None
        if outcome is not None:
            message, options = outcome
            if options:
                raise UsageError(message)  # the same for every recording: stop here
            failures.append((display_path(source), message))
            if log_failures:
                log.error("%s: %s", display_path(source), message, extra={"bare": True})
            failure_log.add(source, message)
        elif task is not None:
            manifest.add(task)
        if report is not None:
            report(Progress(count, total, display_path(source), message))

    try:
        with log_lines_through(closer.write if closer is not None else None):
            for source, message in refused:
                done(source, None, (message, False))
            if client is not None and tasks:
                _run_dask(client, tasks, lambda t, o: done(t.source, t, o))
            elif tasks:
                _run_local(tasks, jobs or os.cpu_count() or 1, lambda t, o: done(t.source, t, o))
    finally:
        failure_log.close()
        manifest.close()
        if closer is not None:
            closer.close()
    return ConvertSummary(
        converted=count - len(failures), skipped=len(skipped), failed=len(failures),
        elapsed_s=time.perf_counter() - started, failures=tuple(failures), verb=job.verb)


# ---------------------------------------------------------------------------
# The conversion job
# ---------------------------------------------------------------------------

def write_csv(source: str, temp: str, settings: Mapping[str, Any]) -> None:
    """The CSV job: `tiltgram.write_cwa_csv` streams the recording to `temp`."""
    with calling_reader():
        tiltgram.write_cwa_csv(source, temp, **settings)


def write_parquet_file(source: str, temp: str, settings: Mapping[str, Any]) -> None:
    """The Parquet job: the frame of `tiltgram.read_cwa_file` to `temp`."""
    from tiltgram_tools.parquet import write_parquet

    with calling_reader():
        frame = tiltgram.read_cwa_file(source, **settings)
    write_parquet(frame, temp)


def _jsonable(value: Any) -> Any:
    if isinstance(value, dt.tzinfo):
        try:
            return format_utc_offset(value)
        except ValueError:
            return str(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (str, int, float, bool)) or value is None:
        return value
    return repr(value)


def conversion_job(format: Format, read_options: ReadOptions) -> Job:
    """The job of `convert_many`: UsageError for an unknown option, format or cut."""
    if format not in FORMATS:
        raise UsageError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    unknown = sorted(set(read_options) - set(ReadOptions.__optional_keys__))
    if unknown:
        raise UsageError(f"unknown read option {unknown[0]!r}")
    settings: dict[str, Any] = {**READ_DEFAULTS, **read_options}
    cut = settings["cut"]
    if cut is not None:
        # The cut's constructors check its values (as the reader would, per recording).
        try:
            with calling_reader():
                kind = cut["type"] if isinstance(cut, Mapping) else None
                if kind == "seconds":
                    settings["cut"] = tiltgram.seconds(cut["start"], cut["end"])
                elif kind == "blocks":
                    settings["cut"] = tiltgram.blocks(cut["start"], cut["end"])
                else:
                    raise UsageError("cut must be made by tiltgram.seconds or tiltgram.blocks")
        except (ReaderError, KeyError) as exc:
            raise UsageError(f"cut: {failure_message(exc)}") from None
    if format == "parquet":
        return Job("convert", "parquet", write_parquet_file, settings,
                   {"format": format, **_jsonable(settings)},
                   ("pandas", "pyarrow.parquet", "tiltgram_tools.parquet"))
    return Job("convert", "csv", write_csv, settings, {"format": format, **_jsonable(settings)})


def convert_many(
    paths: Iterable[StrPath],
    out_dir: StrPath,
    *,
    format: Format = "csv",
    jobs: int | None = None,
    client: Any = None,
    overwrite: bool = False,
    progress: Callable[[Progress], None] | bool | None = None,
    log_failures: bool = True,
    **read_options: Unpack[ReadOptions],
) -> ConvertSummary:
    """Converts recordings to `out_dir/<name>.csv` or `.parquet`; returns what happened.

    `read_options` are keyword arguments of `tiltgram.read_cwa_file` (`ReadOptions`); left
    out, the whole recording is read with every column it has, for CSV as for Parquet.
    CSV is streamed by `tiltgram.write_cwa_csv`; Parquet is the frame of
    `tiltgram.read_cwa_file` (zstd, the index as column `timestamp`). The rest is
    `run_batch`'s. Raises UsageError also for options the reader refuses.

    Local workers start as `multiprocessing` does with its forkserver: each imports the
    calling script again, so a script calls this under `if __name__ == "__main__":`.
    """
    job = conversion_job(format, read_options)
    if format == "parquet" and importlib.util.find_spec("pyarrow") is None:
        require("pyarrow.parquet", "parquet")  # raises, naming the extra; workers import it
    return run_batch(paths, out_dir, job, jobs=jobs, client=client, overwrite=overwrite,
                     progress=progress, log_failures=log_failures)
