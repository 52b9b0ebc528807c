"""Converting many recordings: one machine's worker processes or a Dask cluster.

The plan is made in full before anything runs: recordings are found (folders are searched
for `*.cwa` and `*.cwa.gz`), each gets its output name in the output folder, and two inputs
that would write one output, or an input that is an output, are refused. Then each
conversion writes to a temporary name in the output folder and renames it to its final name
when complete, so an output name only ever holds a complete file; temporaries left by an
interrupted run are removed by the next one. Outputs that exist are skipped (resume) unless
`overwrite` is set.

The reader holds the interpreter lock for a whole call, so conversions run in processes:
`jobs` worker processes of our own here, or the workers of a Dask cluster. Each local worker
takes one recording at a time and the parent knows which one, so a worker that dies (killed,
out of memory) fails exactly its recording and a new worker takes over.
"""

from __future__ import annotations

import contextlib
import csv
import fcntl
import importlib.util
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
from typing import Any, Literal, TextIO

import tiltgram

from tiltgram_tools.extras import require

__all__ = ["ConvertSummary", "UsageError", "convert_many", "find_recordings", "output_name"]

Format = Literal["csv", "parquet"]
FORMATS: tuple[Format, ...] = ("csv", "parquet")
RECORDING_SUFFIXES = (".cwa.gz", ".cwa")
FAILURES_FILE = "failures.tsv"
TEMP_SUFFIX = ".tiltgram-tmp"
LOCK_FILE = ".tiltgram-convert.lock"
# The keyword arguments of `tiltgram.read_cwa_file` and `tiltgram.write_cwa_csv` besides the paths.
READ_OPTIONS = frozenset({
    "cut", "include_magnetometer", "include_temperature", "include_light", "include_battery",
    "resample_hz", "resample_method", "fixed_utc_offset_timezone",
})


class UsageError(ValueError):
    """The job cannot start as asked; nothing was converted."""


@dataclass(frozen=True)
class ConvertSummary:
    """What a batch did. `failures` holds (input path, message) in the order they happened."""

    converted: int
    skipped: int
    failed: int
    elapsed_s: float
    failures: tuple[tuple[str, str], ...] = ()

    @property
    def exit_status(self) -> int:
        return 1 if self.failed else 0

    def __str__(self) -> str:
        return (f"converted {self.converted}, skipped {self.skipped}, failed {self.failed}, "
                f"elapsed {self.elapsed_s:.1f} s")


@dataclass(frozen=True)
class Task:
    """One recording to convert: read `source`, write `temp`, rename it to `final`."""

    source: str
    final: str
    temp: str
    format: Format
    options: Mapping[str, Any] = field(default_factory=dict)
    replaces: tuple[int, int] | None = None  # the file id of the output it overwrites

    def run(self) -> None:
        """Writes `temp` and renames it to `final`; raises on failure (a subclass may do
        other work with the same guarantees)."""
        if self.format == "csv":
            tiltgram.write_cwa_csv(self.source, self.temp, **self.options)
        else:
            from tiltgram_tools.parquet import write_parquet

            write_parquet(tiltgram.read_cwa_file(self.source, **self.options), self.temp)
        os.replace(self.temp, self.final)

    def discard(self) -> None:
        """Removes what a failed run left."""
        with contextlib.suppress(OSError):
            os.unlink(self.temp)

    def completed(self) -> bool:
        """Whether the output was renamed into place, by a worker that may have died after."""
        file_id = _file_id(self.final)
        return file_id is not None and file_id != self.replaces and not os.path.exists(self.temp)

    def abandon(self, message: str) -> str | None:
        """After its worker died: None when the output is complete all the same, else the
        temporary is removed and `message` returned."""
        if self.completed():
            return None
        self.discard()
        return message


# ---------------------------------------------------------------------------
# Finding recordings and naming outputs
# ---------------------------------------------------------------------------

def is_recording_name(name: str) -> bool:
    return name.lower().endswith(RECORDING_SUFFIXES)


def find_recordings(inputs: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Files as given, and folders searched recursively for `*.cwa` and `*.cwa.gz` (any case).

    A folder's recordings come in sorted order. A path that does not exist is kept: its
    conversion fails with the reader's message.
    """
    found: list[str] = []
    for item in inputs:
        path = os.fspath(item)
        if not os.path.isdir(path):
            found.append(path)
            continue
        for root, dirs, files in os.walk(path):
            dirs.sort()
            found.extend(os.path.join(root, name) for name in sorted(files)
                         if is_recording_name(name))
    return found


def output_name(path: str, format: Format) -> str:
    """The output's file name: the input's name without `.cwa` / `.cwa.gz`, plus the format."""
    name = os.path.basename(path)
    for suffix in RECORDING_SUFFIXES:
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return f"{name}.{format}"


def _file_id(path: str) -> tuple[int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def _plan(sources: Sequence[str], out_dir: str, format: Format, overwrite: bool,
          options: Mapping[str, Any]) -> tuple[list[Task], list[str], set[tuple[int, int]]]:
    """Tasks to run, outputs skipped, and the file ids of all inputs; UsageError on a clash."""
    token = secrets.token_hex(4)
    by_name: dict[str, str] = {}
    input_ids: set[tuple[int, int]] = set()
    unique: list[str] = []
    seen_missing: set[str] = set()
    for source in sources:
        file_id = _file_id(source)
        if file_id is None:
            key = os.path.abspath(source)
            if key in seen_missing:
                continue
            seen_missing.add(key)
        elif file_id in input_ids:
            continue  # the same file named twice (a folder and a file in it, a link)
        else:
            input_ids.add(file_id)
        name = output_name(source, format)
        if name in by_name:
            raise UsageError(f"{by_name[name]} and {source} would both be written to "
                             f"{os.path.join(out_dir, name)}")
        by_name[name] = source
        unique.append(source)
    existing = set(os.listdir(out_dir))
    tasks: list[Task] = []
    skipped: list[str] = []
    for source in unique:
        name = output_name(source, format)
        final = os.path.join(out_dir, name)
        if name in existing:
            if _file_id(final) in input_ids:
                raise UsageError(f"{final} is an input and would be an output")
            if not overwrite:
                skipped.append(final)
                continue
        temp = os.path.join(out_dir, f".{name}.{token}{TEMP_SUFFIX}")
        replaces = _file_id(final) if name in existing else None
        tasks.append(Task(source, final, temp, format, dict(options), replaces))
    return tasks, skipped, input_ids


def _remove_stale_temporaries(out_dir: str, input_ids: set[tuple[int, int]]) -> None:
    for entry in os.scandir(out_dir):
        if entry.name.startswith(".") and entry.name.endswith(TEMP_SUFFIX) and entry.is_file():
            if _file_id(entry.path) not in input_ids:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(entry.path)


@contextlib.contextmanager
def _locked(out_dir: str) -> Iterator[None]:
    """Holds the output folder for this run, so that no second run removes our temporaries."""
    fd = os.open(os.path.join(out_dir, LOCK_FILE), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UsageError(f"another conversion is writing to {out_dir}") from None
        except OSError:
            pass  # a file system without locks: go on unguarded
        yield
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# One conversion (runs in a worker process)
# ---------------------------------------------------------------------------

def failure_message(exc: BaseException) -> str:
    """The reader's own text for its errors; other exceptions also name their type."""
    text = str(exc).replace("\n", " ").strip()
    if isinstance(exc, (RuntimeError, ValueError)) and type(exc).__module__ == "builtins" and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def convert_one(task: Task) -> str | None:
    """Converts one recording; returns None on success or the failure message.

    The output is complete under its final name or absent: it is written to `task.temp`
    and renamed, and the temporary is removed on failure.
    """
    try:
        task.run()
    except Exception as exc:  # one bad recording never stops the batch
        task.discard()
        return failure_message(exc)
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
        conn.send(convert_one(task))


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

    def give(self, task: Task) -> None:
        self.task = task
        self.conn.send(task)

    def stop(self, *, kill: bool) -> None:
        if kill:
            self.process.kill()
        else:
            with contextlib.suppress(OSError):
                self.conn.send(None)
        self.process.join()
        self.conn.close()


def _process_context(format: Format) -> Any:
    # Workers fork from a server that has imported what they need once; forking the parent
    # itself is unsafe once it runs threads (a progress bar's, a caller's). The list takes
    # effect when the server starts, at the process's first pool.
    ctx = multiprocessing.get_context("forkserver")
    preload = ["tiltgram_tools.batch"]
    if format == "parquet":
        preload += ["pandas", "pyarrow.parquet", "tiltgram_tools.parquet"]
    ctx.set_forkserver_preload(preload)
    return ctx


def _run_local(tasks: Sequence[Task], jobs: int, done: Callable[[Task, str | None], None]) -> None:
    ctx = _process_context(tasks[0].format)
    pending = deque(tasks)
    workers: list[_Worker] = []
    try:
        while pending or any(w.task for w in workers):
            for w in workers:
                if w.task is None and pending:
                    w.give(pending.popleft())
            while pending and len(workers) < jobs:
                workers.append(_Worker(ctx))
                workers[-1].give(pending.popleft())
            busy = [w for w in workers if w.task is not None]
            ready = wait([w.conn for w in busy] + [w.process.sentinel for w in busy])
            for w in busy:
                if w.conn not in ready and w.process.sentinel not in ready:
                    continue
                task, w.task = w.task, None
                assert task is not None
                message: str | None = None
                delivered = False
                if w.conn.poll():
                    with contextlib.suppress(EOFError, OSError):
                        message = w.conn.recv()
                        delivered = True
                if delivered:
                    done(task, message)
                    if w.process.sentinel not in ready:
                        continue
                else:
                    # The worker died with the task in hand: the task fails (unless the
                    # output was complete), a new worker takes the next one.
                    w.process.join()
                    done(task, task.abandon(_death_message(w.process.exitcode)))
                w.process.join()
                w.conn.close()
                workers.remove(w)
    except BaseException:
        for w in workers:
            w.stop(kill=True)
            if w.task is not None:
                w.task.discard()
        raise
    for w in workers:
        w.stop(kill=False)


# ---------------------------------------------------------------------------
# A Dask cluster
# ---------------------------------------------------------------------------

def _run_dask(client: Any, tasks: Sequence[Task], done: Callable[[Task, str | None], None]) -> None:
    distributed = require("distributed", "dask")
    token = secrets.token_hex(4)
    futures = client.map(convert_one, tasks, pure=False,
                         key=[f"tiltgram-convert-{token}-{i}" for i in range(len(tasks))])
    task_of = {f.key: t for f, t in zip(futures, tasks)}
    try:
        for future in distributed.as_completed(futures):
            task = task_of[future.key]
            try:
                message = future.result()
            except distributed.KilledWorker as exc:
                message = task.abandon(f"the Dask worker converting it died ({exc})")
            except Exception as exc:
                message = failure_message(exc)
            future.release()
            done(task, message)
    except BaseException:
        client.cancel(futures)
        raise


# ---------------------------------------------------------------------------
# The job
# ---------------------------------------------------------------------------

def _check_options(format: Format, options: Mapping[str, Any], out_dir: str) -> None:
    """Raises UsageError for options the reader refuses, before anything runs.

    The reader checks its arguments, cut and resampling options before it opens the
    recording, so a call on a recording that does not exist either refuses the options or
    fails to open the file, which means they passed.
    """
    unknown = sorted(set(options) - READ_OPTIONS)
    if unknown:
        raise UsageError(f"unknown read option {unknown[0]!r}")
    if format not in FORMATS:
        raise UsageError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    missing = os.path.join(out_dir, f".{secrets.token_hex(8)}", "missing.cwa")
    try:
        if format == "csv":
            tiltgram.write_cwa_csv(missing, missing + ".csv", **options)
        else:
            tiltgram.read_cwa_file(missing, **options)
    except (TypeError, ValueError) as exc:
        raise UsageError(str(exc)) from None
    except RuntimeError:
        pass


class _FailureLog:
    """`failures.tsv` (a header, then one `path<TAB>message` row per failure), written as they
    happen; absent after a run without failures."""

    def __init__(self, out_dir: str) -> None:
        self.path = os.path.join(out_dir, FAILURES_FILE)
        self.file: TextIO | None = None
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)

    def add(self, source: str, message: str) -> None:
        if self.file is None:
            self.file = open(self.path, "w", encoding="utf-8", newline="")
            self.writer = csv.writer(self.file, delimiter="\t", lineterminator="\n")
            self.writer.writerow(["path", "message"])
        self.writer.writerow([source, message])
        self.file.flush()

    def close(self) -> None:
        if self.file is not None:
            self.file.close()


def _progress_bar(total: int, enabled: bool | None, desc: str = "converting") -> Any:
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled or total == 0:
        return None
    try:
        tqdm = require("tqdm", "progress").tqdm
    except ImportError as exc:
        print(f"no progress bar: {exc}", file=sys.stderr)
        return None
    return tqdm(total=total, unit="rec", desc=desc, file=sys.stderr, dynamic_ncols=True)


def convert_many(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    *,
    format: Format = "csv",
    jobs: int | None = None,
    client: Any = None,
    overwrite: bool = False,
    progress: bool | None = None,
    log_failures: bool = True,
    **read_options: Any,
) -> ConvertSummary:
    """Converts recordings to `out_dir/<name>.csv` or `.parquet`; returns what happened.

    `paths` are recordings or folders (searched recursively for `*.cwa` and `*.cwa.gz`).
    `read_options` are the keyword arguments of `tiltgram.write_cwa_csv` (CSV) or
    `tiltgram.read_cwa_file` (Parquet): `cut`, the include flags, `resample_hz`,
    `resample_method`, `fixed_utc_offset_timezone`; left out, the function's default holds.
    `jobs` worker processes convert on this machine (default: the number of cores), or
    `client` (a `distributed.Client`) sends one task per recording to its cluster, whose
    workers must see the same paths. A recording that fails is a failure, never the end of
    the batch: it is printed as `path: message` on standard error (unless `log_failures` is
    false) and written to `out_dir/failures.tsv`. `progress` shows a bar on standard error
    (None: when it is a terminal). Raises UsageError, with nothing converted, for bad options,
    two inputs with one output name, or an input that is an output.

    Local workers start as `multiprocessing` does with its forkserver: each imports the
    calling script again, so a script calls this under `if __name__ == "__main__":`.
    """
    started = time.perf_counter()
    out = os.fspath(out_dir)
    if jobs is not None and jobs < 1:
        raise UsageError("jobs must be at least 1")
    if format == "parquet" and importlib.util.find_spec("pyarrow") is None:
        require("pyarrow.parquet", "parquet")  # raises, naming the extra; workers import it
    os.makedirs(out, exist_ok=True)
    _check_options(format, read_options, out)
    sources = find_recordings(paths)
    with _locked(out):
        tasks, skipped, input_ids = _plan(sources, out, format, overwrite, read_options)
        if _file_id(os.path.join(out, FAILURES_FILE)) in input_ids:
            raise UsageError(f"{os.path.join(out, FAILURES_FILE)} is an input")
        _remove_stale_temporaries(out, input_ids)
        log = _FailureLog(out)
        failures: list[tuple[str, str]] = []
        bar = _progress_bar(len(tasks), progress)

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
    return ConvertSummary(
        converted=len(tasks) - len(failures), skipped=len(skipped), failed=len(failures),
        elapsed_s=time.perf_counter() - started, failures=tuple(failures))
