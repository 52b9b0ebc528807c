"""The `tiltgram` command as users meet it: odd names and files, a failure log that cannot be
written, workers that die between recordings, a re-run with other options, and the options
every subcommand shares."""

from __future__ import annotations

import json
import multiprocessing
import os
import signal
import subprocess
import sys

import pytest

import tiltgram
import tiltgram_tools
from tools_helpers import bad_recordings, good_recordings, run_cli, write_tree

GOOD = good_recordings()
A = GOOD["a.cwa"]
MANIFEST = "tiltgram-manifest.jsonl"


def reader_error(path) -> str:
    """The reader's message for the recording at `path` (bytes or text), through a plain name."""
    plain = os.path.join(os.path.dirname(os.fsencode(path)), b"plain-copy")
    with open(path, "rb") as src, open(plain, "wb") as dst:
        dst.write(src.read())
    try:
        with pytest.raises(RuntimeError) as err:
            tiltgram.read_cwa_file(os.fsdecode(plain))
    finally:
        os.unlink(plain)
    return str(err.value)


def test_version():
    run = run_cli("--version")
    assert run.returncode == 0
    assert run.stdout == f"tiltgram {tiltgram_tools.__version__}\n"
    assert tiltgram_tools.__version__ == "0.1.0"


@pytest.mark.parametrize("command", [["info"], ["convert", "-o", "out"], ["plot", "-o", "x.png"]])
def test_every_command_takes_verbose_and_quiet(command):
    for flag in ("-v", "-q", "--verbose", "--quiet"):
        run = run_cli(*command, flag, "--help")
        assert run.returncode == 0, (flag, run.stderr)
    assert "-v, --verbose" in run.stdout and "-q, --quiet" in run.stdout


def test_names_the_system_allows(tmp_path):
    """A name that is not UTF-8 converts (under the same bytes); so does one of 240
    characters; a bad recording with such a name fails alone, its name escaped."""
    folder = os.fsencode(tmp_path / "in")
    os.mkdir(folder)
    long_name = "r" * 236 + ".cwa"
    files = {b"caf\xe9.cwa": A, long_name.encode(): A, b"bad\xff.cwa": b"not a recording" * 80,
             b"ok.cwa": A}
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as fh:
            fh.write(data)
    run = run_cli("convert", "in", "-o", "out", cwd=tmp_path)
    assert run.returncode == 1, run.stderr
    out = os.fsencode(tmp_path / "out")
    expected = tmp_path / "expected.csv"
    tiltgram.write_cwa_csv(str(tmp_path / "in" / "ok.cwa"), str(expected),
                           include_temperature=True, include_light=True, include_battery=True)
    for name in (b"caf\xe9.csv", ("r" * 236 + ".csv").encode(), b"ok.csv"):
        with open(os.path.join(out, name), "rb") as fh:
            assert fh.read() == expected.read_bytes(), name
    shown = f"{tmp_path}/in/bad\\xff.cwa"
    message = reader_error(os.path.join(folder, b"bad\xff.cwa"))
    assert run.stderr.splitlines()[0] == f"{shown}: {message}"
    with open(os.path.join(out, b"failures.tsv"), encoding="utf-8") as fh:  # valid UTF-8
        assert fh.read() == f"path\tmessage\n{shown}\t{message}\n"
    assert sorted(os.listdir(out)) == sorted(
        [b"caf\xe9.csv", ("r" * 236 + ".csv").encode(), b"ok.csv", b"failures.tsv",
         MANIFEST.encode()])


def test_output_folder_name_that_is_not_text(tmp_path):
    write_tree(tmp_path, {"a.cwa": A})
    run = subprocess.run([os.path.dirname(sys.executable) + "/tiltgram", "convert", "a.cwa",
                          "-o", b"caf\xe9"], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 2
    assert run.stderr == (f"tiltgram convert: error: the output folder's name "
                          f"{tmp_path}/caf\\xe9 is not UTF-8 text\n")
    assert os.listdir(tmp_path) == ["a.cwa"]


def test_fifos_in_folders_are_refused_named_ones_read(tmp_path):
    write_tree(tmp_path / "in", {"a.cwa": A})
    os.mkfifo(tmp_path / "in" / "stuck.cwa")
    run = run_cli("convert", "in", "-o", "out", cwd=tmp_path, timeout=60)
    assert run.returncode == 1
    assert run.stderr.splitlines() == [
        f"{tmp_path}/in/stuck.cwa: a FIFO, not a regular file; not read from a folder "
        "(name it to read it)",
        run.stderr.splitlines()[1]]
    assert run.stderr.splitlines()[1].startswith("converted 1, skipped 0, failed 1")

    # Named, it is handed to the reader, which opens it (once a writer has) and says what
    # it thinks of it.
    proc = subprocess.Popen([os.path.dirname(sys.executable) + "/tiltgram", "convert",
                             "in/stuck.cwa", "-o", "named"], cwd=tmp_path,
                            stderr=subprocess.PIPE, text=True)
    with open(tmp_path / "in" / "stuck.cwa", "wb") as fh:
        fh.write(A)
    assert proc.wait(timeout=60) == 1
    assert proc.stderr.readline() == (f"{tmp_path}/in/stuck.cwa: File too small to be a "
                                      "valid CWA file\n")


def test_failure_log_that_cannot_be_written(tmp_path):
    """The run goes on: every failure is on standard error, then the summary."""
    write_tree(tmp_path / "in", {"a.cwa": A, **bad_recordings()})
    blocker = tmp_path / "out" / "failures.tsv"
    blocker.mkdir(parents=True)
    (blocker / "keep").write_text("a folder where the log would go")
    run = run_cli("convert", "in", "-o", "out", "-j", "1", cwd=tmp_path)
    assert run.returncode == 1
    lines = run.stderr.splitlines()
    assert lines[0].startswith(f"tiltgram convert: cannot write {blocker} (Is a directory): "
                               "the failures are listed on standard error only")
    assert sorted(lines[1:4]) == sorted(
        f"{tmp_path}/in/{name}: {reader_error(tmp_path / 'in' / name)}"
        for name in bad_recordings())
    assert lines[4].startswith("converted 1, skipped 0, failed 3")
    assert (tmp_path / "out" / "a.csv").exists()


def test_failure_log_on_a_full_disk(tmp_path, faulty_shim):
    """Writes to the log fail with ENOSPC (the shim), the batch runs to its end."""
    write_tree(tmp_path / "in", {"a.cwa": A, **bad_recordings()})
    log = tmp_path / "out" / "failures.tsv"
    code = ("import ctypes, errno, sys; from tiltgram_tools.cli import main; "
            "ctypes.CDLL(None).tg_fault_write(sys.argv[1].encode(), 20, errno.ENOSPC, 0); "
            "sys.exit(main(sys.argv[2:]))")
    # After the sanitizer build's runtime, where the suite runs under one.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(faulty_shim)]))
    run = subprocess.run([sys.executable, "-c", code, str(log), "convert", "in", "-o", "out",
                          "-j", "1"], cwd=tmp_path, capture_output=True, text=True,
                         env=os.environ | {"LD_PRELOAD": preload}, timeout=120)
    assert run.returncode == 1, run.stderr
    lines = run.stderr.splitlines()
    assert sum("No space left on device" in line for line in lines) == 1
    assert sum(line.startswith(f"{tmp_path}/in/") for line in lines) == 3
    assert lines[-1].startswith("converted 1, skipped 0, failed 3")


@pytest.fixture(scope="module")
def faulty_shim(tmp_path_factory):
    from faults import build_shim

    return build_shim(tmp_path_factory.mktemp("shim"))


def test_worker_that_dies_between_recordings_fails_nothing(tmp_path):
    from tiltgram_tools.batch import convert_many

    paths = write_tree(tmp_path / "in", {f"r{i}.cwa": A for i in range(4)})
    killed = []

    def kill_the_idle_worker(progress):
        # Called after a recording is done, before the next is handed to the worker.
        if progress.done == 2:
            (worker,) = multiprocessing.active_children()
            os.kill(worker.pid, signal.SIGKILL)
            multiprocessing.connection.wait([worker.sentinel])
            killed.append(worker.pid)

    summary = convert_many(paths, tmp_path / "out", jobs=1, progress=kill_the_idle_worker)
    assert killed
    assert (summary.converted, summary.failed) == (4, 0), summary.failures
    assert sorted(os.listdir(tmp_path / "out")) == [f"r{i}.csv" for i in range(4)] + [MANIFEST]


def test_rerun_with_other_options_says_what_differs(tmp_path):
    write_tree(tmp_path / "in", {"a.cwa": A, "b.cwa": A})
    assert run_cli("convert", "in", "-o", "out", cwd=tmp_path).returncode == 0
    before = (tmp_path / "out" / "a.csv").read_bytes()
    run = run_cli("convert", "in", "-o", "out", "--resample-hz", "30", "--no-light",
                  cwd=tmp_path)
    assert run.returncode == 2
    assert run.stderr == (
        f"tiltgram convert: error: {tmp_path}/out/a.csv (and 1 more outputs) was made with "
        "other settings: include_light true (now false); resample_hz null (now 30.0). "
        "--overwrite makes them again with these, or use another output folder\n")
    assert (tmp_path / "out" / "a.csv").read_bytes() == before

    # -v tells what is skipped; the same options skip; --overwrite redoes and records.
    run = run_cli("convert", "in", "-o", "out", "-v", cwd=tmp_path)
    assert run.returncode == 0
    assert f"tiltgram convert: {tmp_path}/out/a.csv: exists, skipped" in run.stderr
    run = run_cli("convert", "in", "-o", "out", "--resample-hz", "30", "--no-light",
                  "--overwrite", cwd=tmp_path)
    assert run.returncode == 0 and run.stderr.startswith("converted 2, skipped 0")
    assert run_cli("convert", "in/a.cwa", "-o", "out", "--resample-hz", "30", "--no-light",
                   cwd=tmp_path).stderr.startswith("converted 0, skipped 1")
    entries = [json.loads(line) for line in open(tmp_path / "out" / MANIFEST)]
    latest = {e["output"]: e for e in entries}
    assert latest["a.csv"]["settings"] == {
        "format": "csv", "cut": None, "include_magnetometer": True,
        "include_temperature": True, "include_light": False, "include_battery": True,
        "resample_hz": 30.0, "resample_method": "cubic", "fixed_utc_offset_timezone": None}
    assert latest["a.csv"]["source"] == f"{tmp_path}/in/a.cwa"


def test_stale_temporary_is_not_an_output(tmp_path):
    """A temporary left by a killed run is removed and its recording converted."""
    write_tree(tmp_path / "in", {"a.cwa": A})
    out = tmp_path / "out"
    out.mkdir()
    for stale in (".0badcafe-0.tiltgram-tmp", ".a.csv.0badcafe.tiltgram-tmp"):
        (out / stale).write_text("time,acc_x\n1,")
    run = run_cli("convert", "in", "-o", "out", cwd=tmp_path)
    assert run.returncode == 0
    assert run.stderr.startswith("converted 1, skipped 0, failed 0")
    assert sorted(os.listdir(out)) == ["a.csv", MANIFEST]


def test_list_with_byte_order_mark_blanks_and_crlf(tmp_path):
    paths = write_tree(tmp_path / "in", {"a.cwa": A, "b.cwa": A})
    (tmp_path / "list.txt").write_bytes(
        b"\xef\xbb\xbf" + f"{paths[0]}  \r\n\r\n  in/b.cwa\t\r\n".encode())
    run = run_cli("convert", "--from-list", "list.txt", "-o", "out", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.csv", "b.csv", MANIFEST]


def test_internal_error_is_one_line(monkeypatch, capsys):
    from tiltgram_tools import cli, info

    def broken(args):
        raise KeyError("planted")

    monkeypatch.setattr(info, "run", broken)
    assert cli.main(["info", "x.cwa"]) == 1
    assert capsys.readouterr().err == ("tiltgram info: internal error: KeyError: 'planted'\n"
                                       "tiltgram info: (run with -vv for the details)\n")
    assert cli.main(["info", "-vv", "x.cwa"]) == 1
    assert "Traceback" in capsys.readouterr().err
