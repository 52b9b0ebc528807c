"""tiltgram_tools.summarize against read_cwa_file (plain), side by side in one run, and the
summary's peak memory over a fresh process's baseline, for 7 and 14 days; with --cohort,
instead, `tiltgram summarize` of 8 recordings of that many days with --jobs 2 against
--jobs 1 (the command's start-up is in both: with one-day recordings it outweighs the work).

    .venv/bin/python bench/bench_summarize.py [days] [--cohort]

The recordings are bench/synth.py's 100 Hz packed recordings with a day's movement (bouts by
day, the device turning slowly at night: no still windows, so no calibration and one pass),
and the same lying still at night on each face in turn (calibrated: two passes). Targets: summarize <= 1.0 x read_cwa_file; peak memory growth <= 64 MB.
"""

from __future__ import annotations

import os
import subprocess
import sys

from common import HWM_SNIPPET, interleaved, machine, print_cpu, recording

import tiltgram
from tiltgram_tools import summarize

PEAK = r"""
import sys
import numpy, pandas, tiltgram
from tiltgram_tools import summarize
from tiltgram_tools import _activity
HWM
base = hwm_kb()
s = summarize(sys.argv[1])
peak = hwm_kb()
print(base, peak, len(s.epochs))
""".replace("HWM\n", HWM_SNIPPET)


def peak_growth_mb(path: str) -> tuple[float, int]:
    out = subprocess.run([sys.executable, "-c", PEAK, path], capture_output=True, text=True, check=True)
    base_kb, peak_kb, epochs = map(int, out.stdout.split())
    return (peak_kb - base_kb) / 1024, epochs


def cohort_jobs(days: float) -> None:
    """`tiltgram summarize` of 8 recordings of `days` days, --jobs 2 against --jobs 1,
    interleaved; with the processor time of the whole command (every process) and the load."""
    import resource
    import shutil
    import statistics
    import tempfile
    import time

    src = recording(days, name=f"/tmp/tiltgram-bench-{days:g}d-30-movement.cwa", movement=True)
    folder = tempfile.mkdtemp(prefix="tiltgram-bench-cohort-")
    for k in range(8):  # copies: the batch takes links to one file as one recording
        shutil.copyfile(src, os.path.join(folder, f"r{k}.cwa"))
    command = os.path.join(os.path.dirname(sys.executable), "tiltgram")
    times: dict[int, list[float]] = {1: [], 2: []}
    cpu: dict[int, list[float]] = {1: [], 2: []}
    loads = []
    for _ in range(3):
        for jobs in (1, 2):
            out = tempfile.mkdtemp(prefix="tiltgram-bench-out-")
            loads.append(os.getloadavg()[0])
            r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t = time.perf_counter()
            subprocess.run([command, "summarize", folder, "-o", out, "-q", "--jobs", str(jobs)],
                           check=True)
            times[jobs].append(time.perf_counter() - t)
            r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[jobs].append(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime)
            shutil.rmtree(out)
    shutil.rmtree(folder)
    one, two = statistics.median(times[1]), statistics.median(times[2])
    print(f"tiltgram summarize, 8 {days:g}-day recordings: --jobs 1 {one:.2f} s, --jobs 2 {two:.2f} s "
          f"= {two / one:.2f}  (target <= 0.6); processor time of the command "
          f"{statistics.median(cpu[1]):.2f} s and {statistics.median(cpu[2]):.2f} s; "
          f"load during the runs {min(loads):.1f}-{max(loads):.1f} on {os.cpu_count()} cores")


def against_read(path: str, days: float, what: str) -> None:
    """summarize against read_cwa_file of `path`, interleaved."""
    size = os.path.getsize(path)
    df = tiltgram.read_cwa_file(path)
    result_bytes = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
    rows = len(df)
    del df
    s = summarize(path)
    print(f"{days:g}-day 100 Hz packed recording{what}: {size / 1e6:.0f} MB, {rows} samples; "
          f"calibration {s.recording['calibration']['status']!r}, {len(s.epochs)} epochs, "
          f"{len(s.nonwear)} non-wear periods")
    cpu: dict = {}
    t = interleaved({
        "read_cwa_file": lambda: tiltgram.read_cwa_file(path),
        "summarize": lambda: summarize(path),
    }, rounds=5, ballast=size + result_bytes, cpu=cpu)
    for name, sec in t.items():
        print(f"  {name:22s} {sec:8.3f} s")
    print("processor time (medians):")
    print_cpu(cpu)
    print(f"summarize / read_cwa_file = {t['summarize'] / t['read_cwa_file']:.2f}  (target <= 1.0)")
    total = {k: sum(v) for k, v in cpu.items()}
    print(f"  the same in processor time = {total['summarize'] / total['read_cwa_file']:.2f}")


def main() -> None:
    print(machine())
    days = float(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] != "--cohort" else 7.0
    if "--cohort" in sys.argv:
        cohort_jobs(days)
        return
    path = recording(days, name=f"/tmp/tiltgram-bench-{days:g}d-30-movement.cwa", movement=True)
    against_read(path, days, "")
    # The same movement by day, lying still at night on each of six faces in turn: the
    # calibration is used, and the summary reads the recording twice.
    against_read(recording(days, name=f"/tmp/tiltgram-bench-{days:g}d-30-still.cwa", movement=True,
                           still_nights=True), days, ", still at night")

    for d in sorted({days, 14.0}):
        p = path if d == days else recording(d, name=f"/tmp/tiltgram-bench-{d:g}d-30-movement.cwa",
                                             movement=True)
        growth, epochs = peak_growth_mb(p)
        print(f"peak memory growth, {d:g} days ({epochs} epochs): {growth:.1f} MB  (target <= 64 MB)")
    print(machine())


if __name__ == "__main__":
    main()
