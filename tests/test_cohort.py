"""`tiltgram summarize` end to end: per-recording epochs and summaries against
`tiltgram_tools.summarize`, the cohort's tables, failures, resume and the usage errors."""

from __future__ import annotations

import datetime as dt
import gzip
import json
import os

import numpy as np
import pandas as pd
import pytest

import tiltgram
from test_summary import activity_recording
from tools_helpers import bad_recordings, good_recordings, run_cli, write_tree
from tiltgram_tools import summarize

PLUS2 = dt.timezone(dt.timedelta(hours=2))


@pytest.fixture(scope="module")
def cohort(tmp_path_factory):
    """Two day-spanning recordings with movement and non-wear (one gzip-compressed, in a
    sub-folder), a short 6-axis one, and the reader's bad recordings."""
    root = tmp_path_factory.mktemp("cohort") / "in"
    os.makedirs(root / "sub")
    a, _ = activity_recording(root, dt.datetime(2023, 6, 10, 22, 0, 0), "p01.cwa")
    b, _ = activity_recording(root, dt.datetime(2023, 6, 11, 9, 0, 0), "tmp.cwa", seed=9)
    with open(b, "rb") as fh:
        (root / "sub" / "p02.cwa.gz").write_bytes(gzip.compress(fh.read(), mtime=0))
    os.unlink(b)
    write_tree(root, {"sub/p03.CWA": good_recordings()["sub/b.CWA"], **bad_recordings()})
    return root


GOOD = {"p01": "p01.cwa", "p02": "sub/p02.cwa.gz", "p03": "sub/p03.CWA"}
BAD = sorted(bad_recordings())


def test_cohort_tables_failures_and_resume(cohort, tmp_path):
    out = tmp_path / "out"
    run = run_cli("summarize", str(cohort), "-o", str(out), "--jobs", "2", "--epoch-s", "60",
                  "--utc-offset", "+02:00")
    assert run.returncode == 1, run.stderr
    lines = run.stderr.splitlines()
    assert lines[-1].startswith("summarized 3, skipped 0, failed 3, elapsed ")
    failures = {}
    for rel in BAD:
        with pytest.raises(RuntimeError) as err:
            tiltgram.read_cwa_file(str(cohort / rel))
        failures[str(cohort / rel)] = str(err.value)
    assert sorted(lines[:-1]) == sorted(f"{p}: {m}" for p, m in failures.items())
    tsv = pd.read_csv(out / "failures.tsv", sep="\t")
    assert dict(zip(tsv["path"], tsv["message"])) == failures
    names = sorted(n for n in os.listdir(out) if not n.startswith(".") and "manifest" not in n)
    assert names == sorted(["days.csv", "failures.tsv", "recordings.csv"]
                           + [f"{n}.epochs.csv" for n in GOOD] + [f"{n}.summary.json" for n in GOOD])

    recordings = pd.read_csv(out / "recordings.csv")
    days = pd.read_csv(out / "days.csv")
    assert list(recordings["name"]) == sorted(GOOD)
    for name, rel in GOOD.items():
        s = summarize(str(cohort / rel), epoch_s=60, fixed_utc_offset_timezone=PLUS2)
        epochs = pd.read_csv(out / f"{name}.epochs.csv", index_col="timestamp", parse_dates=True)
        assert list(epochs.columns) == list(s.epochs.columns)
        assert (epochs.index == s.epochs.index).all()
        pd.testing.assert_frame_equal(epochs.reset_index(drop=True),
                                      s.epochs.reset_index(drop=True), rtol=1e-12)
        row = recordings[recordings["name"] == name].iloc[0]
        assert row["path"] == str(cohort / rel)
        cal = s.recording["calibration"]
        assert row["calibration_status"] == cal["status"]
        assert row["calibration_windows"] == cal["windows"]
        assert [row[f"scale_{a}"] for a in "xyz"] == list(cal["scale"])
        for key in ("wear_h", "nonwear_h", "nodata_h", "valid_days", "enmo_mg", "enmo_mg_imputed"):
            assert row[key] == pytest.approx(s.recording[key], rel=1e-12), key
        assert pd.Timestamp(row["first_sample"]) == s.recording["first_sample"]
        mine = days[days["name"] == name].drop(columns="name").reset_index(drop=True)
        assert list(mine["date"]) == [str(d.date()) for d in s.days.index]
        pd.testing.assert_frame_equal(mine.drop(columns="date"), s.days.reset_index(drop=True),
                                      rtol=1e-12)
    assert recordings.loc[recordings["name"] == "p01", "nonwear_h"].iloc[0] > 0.9

    # A re-run skips what is done, tries the failures again and rewrites the tables whole.
    done = {n: (out / f"{n}.summary.json").stat().st_mtime_ns for n in GOOD}
    os.unlink(out / "recordings.csv")
    (out / "days.csv").write_text("stale\n")
    rerun = run_cli("summarize", str(cohort), "-o", str(out), "--epoch-s", "60",
                    "--utc-offset", "+02:00")
    assert rerun.returncode == 1
    assert rerun.stderr.splitlines()[-1].startswith("summarized 0, skipped 3, failed 3")
    assert done == {n: (out / f"{n}.summary.json").stat().st_mtime_ns for n in GOOD}
    pd.testing.assert_frame_equal(pd.read_csv(out / "recordings.csv"), recordings)
    pd.testing.assert_frame_equal(pd.read_csv(out / "days.csv"), days)

    # Without a recording's epochs it is done again; --overwrite does them all.
    os.unlink(out / "p03.epochs.csv")
    again = run_cli("summarize", str(cohort / "sub"), "-o", str(out), "-q", "--epoch-s", "60",
                    "--utc-offset", "+02:00")
    assert again.returncode == 0 and again.stderr == ""
    assert (out / "p03.epochs.csv").exists()
    over = run_cli("summarize", str(cohort / "p01.cwa"), "-o", str(out), "--overwrite")
    assert over.returncode == 0 and over.stderr.splitlines()[-1].startswith("summarized 1, skipped 0")
    assert len(pd.read_csv(out / "p01.epochs.csv")) == len(summarize(str(cohort / "p01.cwa")).epochs)
    assert not [n for n in os.listdir(out) if n.endswith(".tiltgram-tmp")]
    # Other settings than an output was made with: refused, saying what differs.
    other = run_cli("summarize", str(cohort / "p01.cwa"), "-o", str(out), "--epoch-s", "60")
    assert other.returncode == 2 and "other settings" in other.stderr


def test_parquet_epochs_and_the_json_report(cohort, tmp_path):
    pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "out"
    run = run_cli("summarize", str(cohort / "p01.cwa"), "-o", str(out), "--format", "parquet",
                  "--no-calibrate")
    assert run.returncode == 0, run.stderr
    s = summarize(str(cohort / "p01.cwa"), calibrate=False)
    pd.testing.assert_frame_equal(pd.read_parquet(out / "p01.epochs.parquet"), s.epochs)
    report = json.loads((out / "p01.summary.json").read_text())
    assert report["recording"]["calibration"]["status"] == "not asked"
    assert len(report["days"]) == len(s.days) == 2
    assert np.isclose(report["recording"]["enmo_mg"], s.recording["enmo_mg"], rtol=1e-15)


@pytest.mark.parametrize("args, message", [
    (["--epoch-s", "7"], "epoch_s must be a whole number of seconds from 1 to 3600"),
    (["--epoch-s", "x"], "is not a whole number of seconds"),
    ([], "no recordings given"),
], ids=["epoch", "epoch-text", "nothing"])
def test_usage_errors_write_nothing(cohort, tmp_path, args, message):
    out = tmp_path / "out"
    inputs = [str(cohort / "p01.cwa")] if args else []
    run = run_cli("summarize", *inputs, "-o", str(out), *args)
    assert run.returncode == 2
    assert message in run.stderr
    assert not out.exists() or not [n for n in os.listdir(out) if not n.startswith(".")]
