"""What the subcommands share: exit statuses, the UTC-offset parser, path handling, how a
failure is told to the user, and the logging set-up of `-v`/`-q`.

Light on purpose: `tiltgram --help` imports it, so it imports neither the reader nor pandas.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import logging
import os
import re
import sys
from collections.abc import Iterator
from typing import Any, TextIO

EXIT_OK = 0
EXIT_FAILED = 1  # some recordings failed; the others are done
EXIT_USAGE = 2  # nothing was done: the command cannot run as asked
EXIT_INTERRUPTED = 130

LOGGER_NAME = "tiltgram_tools"
log = logging.getLogger(LOGGER_NAME)

StrPath = str | os.PathLike[str]


class UsageError(ValueError):
    """The job cannot start as asked; nothing was done."""


# ---------------------------------------------------------------------------
# Failures: one classification for every subcommand
# ---------------------------------------------------------------------------

class ReaderError(Exception):
    """An exception of a `tiltgram` function, caught where our code called it.

    `options` is true for the reader's refusal of the call's arguments (its ValueError and
    TypeError, raised before it opens the recording), which would be the same for every
    recording; false for a RuntimeError (the recording or the output file) or a MemoryError.
    """

    def __init__(self, message: str, *, options: bool) -> None:
        super().__init__(message)
        self.message = message
        self.options = options


@contextlib.contextmanager
def calling_reader() -> Iterator[None]:
    """Wraps calls of `tiltgram` functions: their exceptions become ReaderError, with the
    reader's own text."""
    try:
        yield
    except (ValueError, TypeError) as exc:
        raise ReaderError(_text(exc) or type(exc).__name__, options=True) from exc
    except RuntimeError as exc:
        raise ReaderError(_text(exc) or type(exc).__name__, options=False) from exc
    except MemoryError as exc:
        raise ReaderError(_text(exc) or "out of memory", options=False) from exc


class RecordingProblem(Exception):
    """A recording that reads but cannot serve what was asked (our own judgement, not the
    reader's); its text is the whole message."""


def _text(exc: BaseException) -> str:
    return " ".join(str(exc).split("\n")).strip()


def failure_message(exc: BaseException) -> str:
    """The one line that tells a user why a recording failed.

    The reader's errors (caught by `calling_reader`) and RecordingProblem are their text
    alone; an operating-system error is its description
    and the file name (escaped when it is not text); anything else also names its type.
    """
    if isinstance(exc, ReaderError):
        return exc.message
    if isinstance(exc, RecordingProblem):
        return _text(exc)
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
        if exc.filename is not None:
            text += f": {display_path(exc.filename)}"
        return text
    text = _text(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# ---------------------------------------------------------------------------
# Paths
# ---------------------------------------------------------------------------

def display_path(path: StrPath | bytes) -> str:
    """The path as text to show: a name that is not valid UTF-8 has its other bytes as
    `\\xNN` escapes (`caf\\xe9.cwa`), so every line we print or write is valid text."""
    raw = os.fsencode(path)
    return raw.decode("utf-8", "backslashreplace")


def absolute(path: StrPath) -> str:
    """The path made absolute against this process's folder (for other processes and other
    machines, which have another folder), without following links."""
    return os.path.abspath(os.fspath(path))


def is_text_name(path: str) -> bool:
    """Whether the path is valid UTF-8 text, as the reader needs its path arguments."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


@contextlib.contextmanager
def readable_path(path: str) -> Iterator[str]:
    """A name under which the reader can open the file at `path`.

    The reader takes paths as text; a name that is not valid UTF-8 (a file written under
    another locale) is opened here and handed over as `/proc/self/fd/N`, which reaches the
    same file. Where the system has no such names, OSError says why the file cannot be read.
    """
    if is_text_name(path):
        yield path
        return
    if not os.path.isdir("/proc/self/fd"):
        raise OSError(0, "the name is not UTF-8 text, which the reader needs", path)
    # Non-blocking, so that a FIFO is not waited for here; the reader opens it again.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        yield f"/proc/self/fd/{fd}"
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------
# Command-line pieces
# ---------------------------------------------------------------------------

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


def format_utc_offset(tz: dt.tzinfo) -> str:
    """`+02:00` for a fixed zone (as `parse_utc_offset` reads it back)."""
    offset = tz.utcoffset(None)
    if offset is None:
        raise ValueError(f"{tz!r} has no fixed UTC offset")
    sign = "-" if offset < dt.timedelta(0) else "+"
    minutes = int(abs(offset).total_seconds()) // 60
    return f"{sign}{minutes // 60:02d}:{minutes % 60:02d}"


UTC_OFFSET_HELP = ("the device clock's offset from UTC, +HH:MM or -HH:MM (also "
                   "--utc-offset=-05:00); times become UTC")


def join_negative_offsets(argv: list[str]) -> list[str]:
    """`--utc-offset -05:00` as `--utc-offset=-05:00`: argparse takes a value that starts
    with '-' (and is not a plain negative number) for an option."""
    joined: list[str] = []
    i = 0
    while i < len(argv):
        if argv[i] == "--utc-offset" and i + 1 < len(argv) and \
                re.fullmatch(r"-\d{1,2}(:?\d{2})?", argv[i + 1]):
            joined.append(f"--utc-offset={argv[i + 1]}")
            i += 2
        else:
            joined.append(argv[i])
            i += 1
    return joined


def utc_offset_arg(text: str) -> dt.timezone:
    """argparse type for `--utc-offset`."""
    try:
        return parse_utc_offset(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def positive_int_arg(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


def positive_float_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def add_verbosity(parser: argparse.ArgumentParser) -> None:
    """`-v` (more, twice for debugging detail) and `-q` (failures only) on a subcommand."""
    group = parser.add_mutually_exclusive_group()
    group.add_argument("-v", "--verbose", action="count", default=0,
                       help="say more (what is skipped, where the work goes); twice: debug")
    group.add_argument("-q", "--quiet", action="store_true",
                       help="say only what failed: no progress bar, no summary")


class _StderrHandler(logging.Handler):
    """Messages as `tiltgram CMD: message` lines on standard error, written through the
    progress bar while one is shown. Failures of recordings come as `path: message`."""

    def __init__(self, command: str) -> None:
        super().__init__()
        self.command = command
        self.write_line: Any = None  # set while a progress bar is shown

    def emit(self, record: logging.LogRecord) -> None:
        try:
            line = record.getMessage()
            if not getattr(record, "bare", False):
                line = f"tiltgram {self.command}: {line}"
            if record.exc_info:
                line += "\n" + logging.Formatter().formatException(record.exc_info)
            if self.write_line is not None:
                self.write_line(line)
            else:
                print(line, file=sys.stderr, flush=True)
        except Exception:
            self.handleError(record)


_handler: _StderrHandler | None = None


def configure_logging(command: str, verbose: int = 0, quiet: bool = False) -> None:
    """The command's logging: warnings and failures by default, `-q` failures only, `-v`
    what is done, `-vv` debugging detail."""
    global _handler
    level = logging.ERROR if quiet else (
        logging.WARNING if verbose == 0 else logging.INFO if verbose == 1 else logging.DEBUG)
    logger = logging.getLogger(LOGGER_NAME)
    if _handler is not None:
        logger.removeHandler(_handler)
    _handler = _StderrHandler(command)
    logger.addHandler(_handler)
    logger.setLevel(level)
    logger.propagate = False


@contextlib.contextmanager
def log_lines_through(write_line: Any) -> Iterator[None]:
    """While a progress bar is shown, log lines go through its `write` so as not to break it."""
    if _handler is None:
        yield
        return
    before, _handler.write_line = _handler.write_line, write_line
    try:
        yield
    finally:
        _handler.write_line = before


def usage_error(command: str, message: str) -> int:
    print(f"tiltgram {command}: error: {message}", file=sys.stderr, flush=True)
    return EXIT_USAGE


def print_out(text: str, stream: TextIO | None = None) -> None:
    """Prints a result line; a closed standard output (`| head`) raises OutputClosed."""
    try:
        print(text, file=stream or sys.stdout, flush=True)
    except BrokenPipeError:
        # Later writes, and the interpreter's flush at exit, go nowhere instead of failing.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise OutputClosed from None


class OutputClosed(Exception):
    """The reader of our standard output went away (`tiltgram info ... | head`)."""
