"""`tiltgram convert` through the installed command, and `convert_many` on a Dask cluster."""

from __future__ import annotations

import datetime as dt
import os
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tiltgram
from tools_helpers import (TILTGRAM, bad_recordings, good_recordings, holders, kill_reader,
                           open_fifo_writer, run_cli, stem, wait_for, write_tree)

pq = pytest.importorskip("pyarrow.parquet")

GOOD = good_recordings()
BAD = bad_recordings()
PLUS2 = dt.timezone(dt.timedelta(hours=2))
# The command reads every column, for CSV as for Parquet.
EVERY_COLUMN = {"include_magnetometer": True, "include_temperature": True,
                "include_light": True, "include_battery": True}
MANIFEST = "tiltgram-manifest.jsonl"


@pytest.fixture
def cohort(tmp_path):
    """A folder of good and bad recordings (and a file the search must pass over)."""
    root = tmp_path / "in"
    write_tree(root, {**GOOD, **BAD, "readme.txt": b"not searched"})
    return root


def reader_error(path: str) -> str:
    with pytest.raises(RuntimeError) as err:
        tiltgram.read_cwa_file(path)
    return str(err.value)


def listing(folder) -> list[str]:
    return sorted(os.listdir(folder))


def outputs(folder) -> dict[str, bytes]:
    return {name: (folder / name).read_bytes() for name in listing(folder)
            if name.endswith((".csv", ".parquet"))}


@pytest.mark.parametrize("cli_options, read_options", [
    ([], {}),
    (["--start", "0.5", "--end", "3.5", "--temperature", "--utc-offset", "+02:00"],
     {"cut": tiltgram.seconds(0.5, 3.5), "include_temperature": True,
      "fixed_utc_offset_timezone": PLUS2}),
    (["--first-block", "2", "--end-block", "20", "--resample-hz", "30", "--no-magnetometer",
      "--light", "--battery"],
     {"cut": tiltgram.blocks(2, 20), "resample_hz": 30.0, "include_magnetometer": False,
      "include_light": True, "include_battery": True}),
], ids=["defaults", "seconds-tz", "blocks-resampled"])
def test_csv_batch_failures_and_resume(cohort, tmp_path, cli_options, read_options):
    out = tmp_path / "out"
    run = run_cli("convert", str(cohort), "--out-dir", str(out), "--jobs", "2", *cli_options)
    assert run.returncode == 1, run.stderr

    # Every good recording gives write_cwa_csv's bytes; the rest are one line each.
    for rel in GOOD:
        expected = tmp_path / "expected.csv"
        tiltgram.write_cwa_csv(str(cohort / rel), str(expected), **EVERY_COLUMN | read_options)
        assert (out / f"{stem(rel)}.csv").read_bytes() == expected.read_bytes(), rel
    failures = sorted(f"{cohort / rel}: {reader_error(str(cohort / rel))}" for rel in BAD)
    lines = run.stderr.splitlines()
    assert sorted(lines[:-1]) == failures
    assert lines[-1].startswith("converted 3, skipped 0, failed 3, elapsed ")
    assert listing(out) == ["a.csv", "b.csv", "c.csv", "failures.tsv", MANIFEST]
    tsv = pd.read_csv(out / "failures.tsv", sep="\t")
    assert sorted(f"{p}: {m}" for p, m in zip(tsv["path"], tsv["message"])) == failures

    # A re-run skips what exists and tries the failures again; --overwrite converts again.
    before = {name: (out / name).stat().st_mtime_ns for name in ("a.csv", "b.csv", "c.csv")}
    rerun = run_cli("convert", str(cohort), "--out-dir", str(out), *cli_options)
    assert rerun.returncode == 1
    assert rerun.stderr.splitlines()[-1].startswith("converted 0, skipped 3, failed 3")
    assert before == {name: (out / name).stat().st_mtime_ns for name in before}
    again = run_cli("convert", str(cohort), "--out-dir", str(out), "--overwrite", "-q",
                    *cli_options)
    assert sorted(again.stderr.splitlines()) == failures  # --quiet: no summary
    assert again.returncode == 1  # but the status still says what happened
    quiet_ok = run_cli("convert", *(str(cohort / rel) for rel in GOOD), "-o", str(out), "-q",
                       *cli_options)
    assert (quiet_ok.returncode, quiet_ok.stderr) == (0, "")


def test_parquet_reads_back_as_the_frame(cohort, tmp_path):
    out = tmp_path / "out"
    good = [str(cohort / rel) for rel in GOOD]
    lst = tmp_path / "list.txt"
    lst.write_text("".join(f"{p}\n" for p in good[1:]) + "\n")
    for tz_args, tz in (([], None), (["--utc-offset=-05:30"],
                                     dt.timezone(-dt.timedelta(hours=5, minutes=30)))):
        assert run_cli("convert", *good, "-o", str(out), "--overwrite", *tz_args).returncode == 0
        run = run_cli("convert", good[0], "--from-list", str(lst), "-o", str(out),
                      "--format", "parquet", "--overwrite", *tz_args)
        assert run.returncode == 0, run.stderr
        assert run.stderr.startswith("converted 3, skipped 0, failed 0")
        assert not (out / "failures.tsv").exists()
        for path in good:
            target = out / f"{stem(path)}.parquet"
            frame = tiltgram.read_cwa_file(path, fixed_utc_offset_timezone=tz)
            csv_columns = open(out / f"{stem(path)}.csv").readline().strip().split(",")
            assert csv_columns == ["time", *frame.columns]  # one command, one set of columns
            back = pd.read_parquet(target)
            pd.testing.assert_frame_equal(back, frame, check_exact=True)
            for name in frame.columns:  # NaN stays NaN, bit for bit, not a null
                assert back[name].to_numpy().view(np.uint32).tobytes() == \
                    frame[name].to_numpy().view(np.uint32).tobytes()
            table = pq.read_table(target)
            assert table.column("timestamp").type.tz == (None if tz is None else "UTC")
            assert sum(c.null_count for c in table.columns) == 0
            assert pq.ParquetFile(target).metadata.row_group(0).column(0).compression == "ZSTD"


@pytest.mark.parametrize("args, message", [
    (["x/a.cwa", "y/a.cwa.gz"], "/x/a.cwa and " + "{tmp}/y/a.cwa.gz would both be written to "),
    (["x/a.cwa", "--start", "-1"], "seconds cut values must be >= 0"),
    (["x/a.cwa", "--start", "1", "--first-block", "2"], "cannot be combined"),
    (["x/a.cwa", "--resample-hz", "-5"], "resample_hz"),
    (["x/a.cwa", "--resample-hz", "30", "--resample-method", "linear"], "resample_method"),
    (["x/a.cwa", "--jobs", "0"], "positive"),
    (["x/a.cwa", "--utc-offset", "+2:75"], "+HH:MM"),
    ([], "no recordings given"),
    (["x/a.cwa", "--end-block", "0"], "--end-block 0 selects no block"),
    (["--from-list", "latin1.txt"], "the list latin1.txt is not UTF-8 text (line 2)"),
    (["--from-list", "missing.txt"], "cannot read the list missing.txt: No such file"),
    (["x/a.cwa", "--scheduler", "nonsense"], "'nonsense' is not a Dask scheduler address"),
    (["x/a.cwa", "--scheduler", "localhost"], "'localhost' is not a Dask scheduler address"),
    (["x/a.cwa", "--scheduler", "tcp://127.0.0.1:1"],
     "cannot reach the Dask scheduler at tcp://127.0.0.1:1: Connection refused"),
], ids=["same-output", "bad-cut", "two-cuts", "bad-rate", "bad-method", "jobs", "offset",
        "nothing", "no-block", "list-not-text", "no-list", "scheduler-nonsense",
        "scheduler-no-protocol", "scheduler-refuses"])
def test_usage_errors_convert_nothing(tmp_path, args, message):
    write_tree(tmp_path, {"x/a.cwa": GOOD["a.cwa"], "y/a.cwa.gz": b"",
                          "latin1.txt": b"x/a.cwa\ny/caf\xe9.cwa\n"})
    if any(a.startswith("--scheduler") for a in args):
        pytest.importorskip("distributed")
    run = run_cli("convert", *args, "--out-dir", "out", cwd=tmp_path, timeout=20)
    assert run.returncode == 2
    assert message.format(tmp=tmp_path) in run.stderr
    assert "Traceback" not in run.stderr
    assert run.stderr.splitlines()[-1].startswith("tiltgram convert: error: ")
    assert not (tmp_path / "out").exists()  # not even the folder


@pytest.mark.parametrize("out, message", [
    ("x/a.cwa", "x/a.cwa is not a folder"),
    ("/proc", "cannot write in /proc: "),
    ("/proc/out", "cannot make the folder /proc/out: "),
], ids=["a-file", "read-only", "cannot-make"])
def test_output_folder_that_cannot_be(tmp_path, out, message):
    write_tree(tmp_path, {"x/a.cwa": GOOD["a.cwa"]})
    run = run_cli("convert", "x/a.cwa", "-o", out, cwd=tmp_path)
    assert run.returncode == 2
    assert run.stderr.startswith(f"tiltgram convert: error: {message}")
    assert run.stderr.count("\n") == 1
    assert (tmp_path / "x/a.cwa").read_bytes() == GOOD["a.cwa"]


def test_input_is_never_an_output(tmp_path):
    write_tree(tmp_path, {"out/a.csv": GOOD["a.cwa"]})
    run = run_cli("convert", "out/a.csv", "--out-dir", "out", cwd=tmp_path)  # -> out/a.csv.csv
    assert run.returncode == 0
    os.link(tmp_path / "out/a.csv", tmp_path / "a.cwa")  # the same file under an input name
    run = run_cli("convert", "a.cwa", "--out-dir", "out", cwd=tmp_path)
    assert run.returncode == 2 and "is an input and would be an output" in run.stderr
    assert (tmp_path / "out/a.csv").read_bytes() == GOOD["a.cwa"]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL], ids=["ctrl-c", "kill"])
def test_interrupted_run_leaves_only_complete_outputs(tmp_path, sig):
    big = good_recordings()["a.cwa"][:1024] + b"".join(
        bytes(b) for b in __import__("builders").contiguous_blocks(1500, seed=9))
    names = [f"r{i:02d}.cwa" for i in range(12)]
    write_tree(tmp_path / "in", {name: big for name in names})
    complete = tmp_path / "expected.csv"
    tiltgram.write_cwa_csv(str(tmp_path / "in" / names[0]), str(complete), **EVERY_COLUMN)
    out = tmp_path / "out"
    proc = subprocess.Popen([TILTGRAM, "convert", "in", "-o", "out", "-j", "2"], cwd=tmp_path,
                            stderr=subprocess.PIPE, start_new_session=True)
    wait_for(lambda: out.exists() and any(n.endswith(".csv") for n in os.listdir(out)))
    os.killpg(proc.pid, sig)  # as a terminal's Ctrl-C reaches the whole process group
    proc.communicate(timeout=60)
    assert proc.returncode == (130 if sig == signal.SIGINT else -signal.SIGKILL)
    wait_for(lambda: not holders(f"{out}/"), timeout=30)  # workers gone
    finals = outputs(out)
    assert len(finals) < len(names)
    assert all(data == complete.read_bytes() for data in finals.values())
    if sig == signal.SIGINT:  # the run removes its own temporaries
        assert all(not n.endswith(".tiltgram-tmp") for n in os.listdir(out))

    rerun = run_cli("convert", "in", "-o", "out", cwd=tmp_path)
    assert rerun.returncode == 0
    assert rerun.stderr.startswith(f"converted {len(names) - len(finals)}, skipped {len(finals)}")
    assert listing(out) == [n.replace(".cwa", ".csv") for n in names] + [MANIFEST]


def test_killed_worker_is_a_failure(cohort, tmp_path):
    fifo = str(tmp_path / "stuck.cwa")
    os.mkfifo(fifo)
    a, b = str(cohort / "a.cwa"), str(cohort / "sub/b.CWA")
    proc = subprocess.Popen([TILTGRAM, "convert", a, fifo, b, "-o", str(tmp_path / "out"),
                             "-j", "1"], stderr=subprocess.PIPE, text=True)
    fd = open_fifo_writer(fifo)  # the worker is now blocked reading the recording
    try:
        kill_reader(fifo, signal.SIGKILL)
    finally:
        os.close(fd)
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 1
    assert stderr.splitlines()[0] == (
        f"{fifo}: the worker process converting it died (killed by SIGKILL, perhaps for "
        "lack of memory)")
    assert stderr.splitlines()[1].startswith("converted 2, skipped 0, failed 1")
    assert listing(tmp_path / "out") == ["a.csv", "b.csv", "failures.tsv", MANIFEST]


# ---------------------------------------------------------------------------
# Dask
# ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def dask_client():
    pytest.importorskip("distributed")
    import dask
    from distributed import Client, LocalCluster

    # Fail a task at once when its worker dies, rather than retrying it on another.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def test_dask_cluster_converts_and_reports(cohort, tmp_path, dask_client):
    from tiltgram_tools.batch import convert_many

    fifo = str(tmp_path / "stuck.cwa")
    os.mkfifo(fifo)
    pids = set(dask_client.run(os.getpid).values())
    out = tmp_path / "out"

    import threading

    def kill_the_worker():
        fd = open_fifo_writer(fifo)
        try:
            assert kill_reader(fifo, signal.SIGKILL) in pids
        finally:
            os.close(fd)

    summary = convert_many([cohort], out, client=dask_client, format="parquet",
                           resample_hz=30, log_failures=False)
    assert (summary.converted, summary.skipped, summary.failed) == (3, 0, 3)
    failures = dict(summary.failures)
    for rel in BAD:
        assert failures[str(cohort / rel)] == reader_error(str(cohort / rel))
    for rel in GOOD:
        pd.testing.assert_frame_equal(pd.read_parquet(out / f"{stem(rel)}.parquet"),
                                      tiltgram.read_cwa_file(str(cohort / rel), resample_hz=30))

    # Alone, so that no other task waits on the worker that is killed (Dask would count
    # it as killed too).
    killer = threading.Thread(target=kill_the_worker)
    killer.start()
    summary = convert_many([fifo], out, client=dask_client, log_failures=False)
    killer.join()
    assert summary.failures[0][0] == fifo
    assert summary.failures[0][1].startswith("the Dask worker converting it died (")

    # The command with --scheduler: the same cluster, resume and failure lines.
    run = run_cli("convert", str(cohort), "-o", str(out), "--format", "parquet",
                  "--resample-hz", "30", "--scheduler", dask_client.scheduler.address)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1].startswith("converted 0, skipped 3, failed 3")


def test_dask_run_from_another_folder_with_relative_paths(tmp_path, dask_client):
    """The cluster's workers run in another folder: paths are sent absolute."""
    write_tree(tmp_path / "in", GOOD)
    (tmp_path / "list.txt").write_text("in/a.cwa\n")
    run = run_cli("convert", "in/sub", "--from-list", "list.txt", "-o", "out",
                  "--scheduler", dask_client.scheduler.address, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr.startswith("converted 3, skipped 0, failed 0")
    assert sorted(os.listdir(tmp_path / "out")) == ["a.csv", "b.csv", "c.csv", MANIFEST]
    assert os.getcwd() != str(tmp_path)  # the workers' folder: where the cluster started
    workers_cwd = set(dask_client.run(os.getcwd).values())
    assert str(tmp_path) not in workers_cwd


def test_dask_scheduler_without_workers(tmp_path):
    pytest.importorskip("distributed")
    from distributed import LocalCluster

    write_tree(tmp_path, {"a.cwa": GOOD["a.cwa"]})
    with LocalCluster(n_workers=0, dashboard_address=":0") as empty:
        run = run_cli("convert", "a.cwa", "-o", "out", "--scheduler", empty.scheduler_address,
                      "--scheduler-timeout", "2", cwd=tmp_path, timeout=60)
    assert run.returncode == 2
    assert run.stderr.splitlines()[-1] == (
        f"tiltgram convert: error: the Dask scheduler at {empty.scheduler_address} has no "
        "worker (waited 2 s)")
    assert not (tmp_path / "out").exists()


def test_dask_interrupted_run_leaves_no_output_behind(tmp_path, dask_client):
    """A task still running when the run is interrupted does not put its output in place."""
    fifo = tmp_path / "stuck.cwa"
    os.mkfifo(fifo)
    out = tmp_path / "out"
    proc = subprocess.Popen([TILTGRAM, "convert", "stuck.cwa", "-o", "out", "--format",
                             "parquet", "--scheduler", dask_client.scheduler.address],
                            cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    fd = open_fifo_writer(str(fifo))  # a worker is now in the task, reading the FIFO
    try:
        proc.send_signal(signal.SIGINT)
        _, stderr = proc.communicate(timeout=60)
        assert proc.returncode == 130, stderr
        os.set_blocking(fd, True)
        os.write(fd, GOOD["a.cwa"])
    finally:
        os.close(fd)
    wait_for(lambda: not holders(str(fifo)), timeout=60)
    wait_for(lambda: not [n for n in os.listdir(out) if n.endswith(".tiltgram-tmp")
                          and "interrupted" not in n], timeout=60)
    assert not [n for n in os.listdir(out) if not n.startswith(".")]
    # The next run clears what is left and converts.


def test_readme_dask_recipe(cohort, dask_client):
    """The README's recipe for frames rather than files."""
    dd = pytest.importorskip("dask.dataframe")
    # Partitions must share their columns: 3-axis recordings only.
    paths = write_tree(cohort / "ax3", {"x.cwa": GOOD["a.cwa"], "y.cwa": GOOD["a.cwa"][:-5120]})
    frames = dd.from_map(tiltgram.read_cwa_file, paths, resample_hz=30)
    per_minute = frames.map_partitions(lambda df: df.resample("1min").mean()).compute()
    each = [tiltgram.read_cwa_file(p, resample_hz=30) for p in paths]
    pd.testing.assert_frame_equal(per_minute, pd.concat([df.resample("1min").mean() for df in each]))
    pd.testing.assert_frame_equal(frames.compute(scheduler="processes"), pd.concat(each))


def test_missing_extras_are_named(tmp_path):
    code = ("import sys; sys.modules['pyarrow'] = None; from tiltgram_tools.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    run = subprocess.run([sys.executable, "-c", code, "convert", "x.cwa", "-o", str(tmp_path),
                          "--format", "parquet"], capture_output=True, text=True)
    assert run.returncode == 2
    assert "pip install 'tiltgram[parquet]'" in run.stderr
    help_run = subprocess.run([sys.executable, "-m", "tiltgram_tools", "--help"],
                              capture_output=True, text=True)
    assert help_run.returncode == 0 and "convert" in help_run.stdout


def test_search_progress_bar_and_its_extra(tmp_path, monkeypatch, capsys, caplog):
    from tiltgram_tools.batch import convert_many, find_recordings, output_name

    paths = write_tree(tmp_path / "in", {"b/x.CWA.GZ": b"", "a/y.cwa": GOOD["a.cwa"],
                                         "a/y.cwa.bak": b"", "z.cwa": GOOD["a.cwa"]})
    assert find_recordings([tmp_path / "in"]) == [paths[3], paths[1], paths[0]]
    assert [output_name(p, "parquet") for p in paths] == [
        "x.parquet", "y.parquet", "y.cwa.bak.parquet", "z.parquet"]

    summary = convert_many([paths[1], paths[3]], tmp_path / "out", progress=True)
    assert str(summary).startswith("converted 2, skipped 0, failed 0, elapsed ")
    assert "2/2" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with caplog.at_level("WARNING", logger="tiltgram_tools"):
        convert_many([paths[1]], tmp_path / "out", progress=True, overwrite=True)
    assert caplog.messages == [
        "no progress bar: tqdm is needed for this and is not installed: "
        "pip install 'tiltgram[progress]'"]

    # Progress as a callback: one call per recording, failures with their message.
    seen = []
    summary = convert_many([tmp_path / "in"], tmp_path / "out2", progress=seen.append,
                           log_failures=False)
    assert [(p.done, p.total) for p in seen] == [(1, 3), (2, 3), (3, 3)]
    assert {p.source: p.failure for p in seen} == {
        paths[3]: None, paths[1]: None, paths[0]: reader_error(paths[0])}
    assert summary.failures == ((paths[0], reader_error(paths[0])),)
