"""`tiltgram convert` against calling the module directly, measured side by side in one run.

    .venv/bin/python bench/bench_convert.py [files] [rounds] [parquet_days] [tmp_dir]

Give a tmpfs as `tmp_dir` (/dev/shm) to time the conversion rather than the disk: 8 one-day
CSV files are 3.1 GB (16 are written here), which on a disk-backed /tmp runs into the kernel's write-back limits.

1. Per-file overhead: converting `files` one-day recordings to CSV with one worker, through
   `convert_many(jobs=1)` and through the command (`--jobs 1`, interpreter start included),
   against `write_cwa_csv` called on each file in this process; and the command on twice
   as many files, whose difference is what a further file costs without the start, which
   a batch pays once (interpreter, imports, the worker process).
2. Scaling: the same batch with `--jobs 2`, and through a local Dask cluster of 2 worker
   processes (started once, outside the timing), against `--jobs 1`.
3. Parquet of a `parquet_days`-day 100 Hz recording: peak memory over the interpreter's
   baseline against the frame's bytes (in fresh processes), and time against
   `read_cwa_file` + `DataFrame.to_parquet` with the same compression (interleaved).

Every round converts everything again (`--overwrite`); steps are interleaved, each after a
ballast (see common.py), medians reported. Outputs go under /tmp and are removed.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile

from common import HWM_SNIPPET, interleaved, recording

import tiltgram
from tiltgram_tools import convert_many

TILTGRAM = os.path.join(os.path.dirname(sys.executable), "tiltgram")

PEAK = r"""
import sys
import pandas, pyarrow.parquet
import tiltgram
from tiltgram_tools.parquet import write_parquet
HWM
base = hwm_kb()
frame = tiltgram.read_cwa_file(sys.argv[1])
nbytes = frame.index.asi8.nbytes + sum(frame[c].to_numpy().nbytes for c in frame.columns)
if sys.argv[3] == "ours":
    write_parquet(frame, sys.argv[2])
else:
    frame.to_parquet(sys.argv[2], compression="zstd")
print(base, hwm_kb(), nbytes)
""".replace("HWM\n", HWM_SNIPPET)


def processor() -> str:
    model, flags = "?", set()
    with open("/proc/cpuinfo") as fh:
        for line in fh:
            if line.startswith("model name") and model == "?":
                model = line.split(":", 1)[1].strip()
            elif line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
    simd = [f for f in ("avx2", "fma", "avx512f", "avx512bw") if f in flags]
    return f"{model}; {os.cpu_count()} cores; {' '.join(simd) or 'no AVX2'}"


def cli(*args: str) -> None:
    subprocess.run([TILTGRAM, "convert", *args, "--overwrite", "--quiet"], check=True)


def batch(tmp: str, files: int, rounds: int) -> None:
    day = recording(1.0)
    src = os.path.join(tmp, "in")
    os.makedirs(src)
    src2 = os.path.join(tmp, "in2")
    os.makedirs(src2)
    paths = []
    for i in range(2 * files):  # copies, not links: a file named twice is converted once
        shutil.copyfile(day, os.path.join(src2, f"day{i}.cwa"))
        if i < files:
            paths.append(shutil.copyfile(day, os.path.join(src, f"day{i}.cwa")))
    out = os.path.join(tmp, "out")
    direct_out = os.path.join(tmp, "direct")
    os.makedirs(direct_out)

    def direct() -> None:  # one output file, rewritten, to hold less space in a tmpfs
        for p in paths:
            tiltgram.write_cwa_csv(p, os.path.join(direct_out, "day.csv"))

    steps = {
        "write_cwa_csv per file": direct,
        "convert_many(jobs=1)": lambda: convert_many(paths, out, jobs=1, overwrite=True,
                                                     progress=False),
        "tiltgram convert --jobs 1": lambda: cli(src, "-o", out, "--jobs", "1"),
        "the same, twice the files": lambda: cli(src2, "-o", out, "--jobs", "1"),
        "tiltgram convert --jobs 2": lambda: cli(src, "-o", out, "--jobs", "2"),
    }
    cluster = client = None
    try:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
        steps["Dask, 2 worker processes"] = lambda: convert_many(
            paths, out, client=client, overwrite=True, progress=False)
    except ImportError:
        print("distributed is not installed: no Dask figure")
    try:
        t = interleaved(steps, rounds=rounds, ballast=os.path.getsize(day) * 8)
    finally:
        if client is not None:
            client.close()
            cluster.close()
    print(f"\n{files} one-day recordings to CSV, medians of {rounds} interleaved rounds:")
    for name, sec in t.items():
        print(f"  {name:28s} {sec:7.2f} s")
    base = t["write_cwa_csv per file"]
    one = t["tiltgram convert --jobs 1"]
    print(f"per-file overhead, convert_many(jobs=1) / write_cwa_csv = "
          f"{t['convert_many(jobs=1)'] / base:.3f}  (target <= 1.05)")
    print(f"per-file overhead, tiltgram convert --jobs 1 / write_cwa_csv = {one / base:.3f} "
          "(with the command's start: interpreter, imports, worker process)")
    # What each further file costs: the start is paid once per batch, not per file.
    marginal = (t["the same, twice the files"] - one) / files
    print(f"per-file overhead, marginal: (convert {2 * files} files - convert {files} files) / "
          f"{files} / write_cwa_csv per file = {marginal / (base / files):.3f}  (target <= 1.05); "
          f"the start costs {one - marginal * files:.2f} s once")
    print(f"--jobs 2 / --jobs 1 = {t['tiltgram convert --jobs 2'] / one:.2f}  (target <= 0.6)")
    if "Dask, 2 worker processes" in t:
        print(f"Dask 2 workers / --jobs 1 = {t['Dask, 2 worker processes'] / one:.2f}  "
              "(target <= 0.65)")


def parquet(tmp: str, days: float, rounds: int) -> None:
    import pyarrow.parquet  # noqa: F401  (fails early without the extra)

    from tiltgram_tools.parquet import write_parquet

    path = recording(days)
    out = os.path.join(tmp, "week.parquet")
    print(f"\nParquet of the {days:g}-day recording ({os.path.getsize(path) / 1e6:.0f} MB):")
    for who in ("ours", "to_parquet"):
        run = subprocess.run([sys.executable, "-c", PEAK, path, out, who], capture_output=True,
                             text=True, check=True)
        base, peak, nbytes = map(int, run.stdout.split())
        print(f"  peak memory over the baseline, {who:10s} {(peak - base) / 1024:7.0f} MB for a "
              f"{nbytes / 1e6:.0f} MB frame = {(peak - base) * 1024 / nbytes:.3f} x "
              f"{'(target <= 1.3)' if who == 'ours' else ''}")
    size = os.path.getsize(path) * 8
    t = interleaved({
        "read_cwa_file + to_parquet": lambda: tiltgram.read_cwa_file(path).to_parquet(
            out, compression="zstd"),
        "read_cwa_file + write_parquet": lambda: write_parquet(tiltgram.read_cwa_file(path), out),
    }, rounds=rounds, ballast=size)
    for name, sec in t.items():
        print(f"  {name:32s} {sec:7.2f} s")
    print(f"  ours / (read_cwa_file + to_parquet) = "
          f"{t['read_cwa_file + write_parquet'] / t['read_cwa_file + to_parquet']:.2f}  "
          "(target <= 1.5)")


def main() -> None:
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    days = float(sys.argv[3]) if len(sys.argv) > 3 else 7.0
    base = sys.argv[4] if len(sys.argv) > 4 else "/tmp"
    print(processor())
    print("load before:", open("/proc/loadavg").read().strip(), "; outputs under", base)
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        batch(tmp, files, rounds)
        shutil.rmtree(os.path.join(tmp, "out"))
        parquet(tmp, days, rounds)
    print("load after:", open("/proc/loadavg").read().strip())


if __name__ == "__main__":
    main()
