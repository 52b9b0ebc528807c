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


SPIN = "x = 0\nfor i in range(15_000_000): x += i\n"


def spare_cores() -> float:
    """How much two busy processes at once get done against one alone: 2.0 on two free
    cores, about 1.0 when other work takes one core's worth (a busy shared machine)."""
    import time

    t = time.perf_counter()
    subprocess.run([sys.executable, "-c", SPIN], check=True)
    one = time.perf_counter() - t
    t = time.perf_counter()
    procs = [subprocess.Popen([sys.executable, "-c", SPIN]) for _ in range(2)]
    for p in procs:
        p.wait()
    return 2 * one / (time.perf_counter() - t)


def cohort_jobs(days: float) -> None:
    """`tiltgram summarize` of 8 recordings of `days` days, --jobs 2 against --jobs 1,
    interleaved, with the load and the machine's spare parallelism around them. Also the
    command on one recording (--jobs 1): from it and the eight, the start-up S and the work
    w per recording, and the ratio two free cores would give, (S + 4 w) / (S + 8 w)."""
    import shutil
    import statistics
    import tempfile
    import time

    src = recording(days, name=f"/tmp/tiltgram-bench-{days:g}d-30-movement.cwa", movement=True)
    folder = tempfile.mkdtemp(prefix="tiltgram-bench-cohort-")
    single = tempfile.mkdtemp(prefix="tiltgram-bench-single-")
    for k in range(8):  # copies: the batch takes links to one file as one recording
        shutil.copyfile(src, os.path.join(folder, f"r{k}.cwa"))
    shutil.copyfile(src, os.path.join(single, "r.cwa"))
    command = os.path.join(os.path.dirname(sys.executable), "tiltgram")
    times: dict[str, list[float]] = {"1": [], "2": [], "one": []}
    loads = []
    spare = [spare_cores()]
    for _ in range(3):
        for name, inputs, jobs in (("1", folder, 1), ("2", folder, 2), ("one", single, 1)):
            out = tempfile.mkdtemp(prefix="tiltgram-bench-out-")
            loads.append(os.getloadavg()[0])
            t = time.perf_counter()
            subprocess.run([command, "summarize", inputs, "-o", out, "-q", "--jobs", str(jobs)],
                           check=True)
            times[name].append(time.perf_counter() - t)
            shutil.rmtree(out)
    spare.append(spare_cores())
    shutil.rmtree(folder)
    shutil.rmtree(single)
    one, two, alone = (statistics.median(times[k]) for k in ("1", "2", "one"))
    w = (one - alone) / 7
    start = alone - w
    print(f"tiltgram summarize, 8 {days:g}-day recordings: --jobs 1 {one:.2f} s, --jobs 2 {two:.2f} s "
          f"= {two / one:.2f}  (target <= 0.6)")
    print(f"  one recording {alone:.2f} s: start-up {start:.2f} s, {w:.2f} s per recording; on two "
          f"free cores --jobs 2 would take {(start + 4 * w) / (start + 8 * w):.2f} of --jobs 1")
    print(f"  load {min(loads):.1f}-{max(loads):.1f} on {os.cpu_count()} cores; two busy processes "
          f"got {spare[0]:.2f} and {spare[1]:.2f} times one's work done (before, after; 2.00 on two "
          f"free cores)")


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
