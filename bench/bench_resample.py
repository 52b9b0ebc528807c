"""The resampled read at 30 Hz and 100 Hz against the plain read of the same recording,
measured side by side, and a very large resampled output.

    .venv/bin/python bench/bench_resample.py [days] [--quick]

--quick measures the 7-day ratios only (no 6-axis recording, no memory peaks).
"""

from __future__ import annotations

import os
import subprocess
import sys

from common import HWM_SNIPPET, interleaved, machine, print_cpu, recording

import tiltgram

PEAK = r"""
import sys
import tiltgram
HWM
base = hwm_kb()
try:
    df = tiltgram.read_cwa_file(sys.argv[1], resample_hz=float(sys.argv[2]))
except MemoryError:
    print("MemoryError", base, hwm_kb(), 0)
else:
    nbytes = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
    print("ok", base, hwm_kb(), nbytes)
""".replace("HWM\n", HWM_SNIPPET)


def fresh_process(path: str, hz: float) -> str:
    run = subprocess.run([sys.executable, "-c", PEAK, path, str(hz)], capture_output=True, text=True)
    if run.returncode != 0:
        return f"exit code {run.returncode}: {run.stderr.strip()[-300:]}"
    status, base, peak, nbytes = run.stdout.split()
    extra = (int(peak) - int(base)) * 1024 / 1e9
    if status == "MemoryError":
        return f"MemoryError after {extra:.2f} GB over the baseline"
    return f"ok, peak {extra:.2f} GB over the baseline for a {int(nbytes) / 1e9:.2f} GB output"


def main() -> None:
    print(machine())
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    days = float(args[0]) if args else 7.0
    path = recording(days)
    size = os.path.getsize(path)
    rows = len(tiltgram.read_cwa_file(path, include_temperature=False))
    ballast = size + rows * 28
    cpu = {}
    t = interleaved({
        "read_cwa_file": lambda: tiltgram.read_cwa_file(path),
        "resample_hz=30": lambda: tiltgram.read_cwa_file(path, resample_hz=30),
        "resample_hz=100": lambda: tiltgram.read_cwa_file(path, resample_hz=100),
    }, rounds=5, ballast=ballast, cpu=cpu)
    print(f"{days:g}-day 100 Hz packed recording, {rows} samples")
    for name, sec in t.items():
        print(f"  {name:18s} {sec:8.3f} s")
    print("processor time (medians):")
    print_cpu(cpu)
    total = {k: sum(v) for k, v in cpu.items()}
    targets = {30: "avx2 <= 1.6, sse2 <= 1.9", 100: "avx2 <= 2.5, sse2 <= 3.2"}
    for hz in (30, 100):
        print(f"resample_hz={hz} / plain read = {t[f'resample_hz={hz}'] / t['read_cwa_file']:.2f}  "
              f"(target {targets[hz]}); in processor time "
              f"{total[f'resample_hz={hz}'] / total['read_cwa_file']:.2f}")
    print(machine())
    if "--quick" in sys.argv:
        return
    # 6-axis (AX6) packets carry gyroscope columns through the resampler as well.
    ax6 = recording(1.0, 0x62)
    rows6 = len(tiltgram.read_cwa_file(ax6, include_temperature=False))
    t6 = interleaved({
        "read_cwa_file": lambda: tiltgram.read_cwa_file(ax6),
        "resample_hz=100": lambda: tiltgram.read_cwa_file(ax6, resample_hz=100),
    }, rounds=5, ballast=os.path.getsize(ax6) + rows6 * 40)
    print(f"1-day 6-axis recording: resample_hz=100 / plain read = "
          f"{t6['resample_hz=100'] / t6['read_cwa_file']:.2f}")
    print("peak memory, 100 Hz:", fresh_process(path, 100))
    print("resample_hz=10000:", fresh_process(path, 10000))


if __name__ == "__main__":
    main()
