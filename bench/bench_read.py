"""read_metadata and read_cwa_file against the hardware floor, measured side by side.

    .venv/bin/python bench/bench_read.py [days]

Floors: reading the file's bytes (for read_metadata); reading the bytes plus allocating and
filling NumPy arrays of the result's size (for read_cwa_file). Peak memory is measured in a
fresh process per case, against the interpreter's, NumPy's and pandas' own baseline.
"""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np

from common import HWM_SNIPPET, interleaved, machine, print_cpu, read_bytes, recording

import tiltgram


def floor_columns(path: str, rows: int, columns: int) -> list:
    data = read_bytes(path)
    out = [np.empty(rows, dtype=np.int64)]
    out[0].fill(1)
    for _ in range(columns):
        a = np.empty(rows, dtype=np.float32)
        a.fill(1.0)
        out.append(a)
    del data
    return out


PEAK = r"""
import sys
import numpy, pandas, tiltgram
HWM
base = hwm_kb()
df = tiltgram.read_cwa_file(sys.argv[1])
peak = hwm_kb()
nbytes = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
print(base, peak, nbytes)
""".replace("HWM\n", HWM_SNIPPET)


def main() -> None:
    print(machine())
    days = float(sys.argv[1]) if len(sys.argv) > 1 else 7.0
    path = recording(days)
    size = os.path.getsize(path)
    df = tiltgram.read_cwa_file(path)
    rows, cols = len(df), len(df.columns)
    result_bytes = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
    del df
    print(f"{days:g}-day 100 Hz packed recording: {size / 1e6:.0f} MB, {(size - 1024) // 512} "
          f"packets, {rows} rows x {cols} float32 columns + int64 times ({result_bytes / 1e9:.2f} GB)")

    ballast = size + result_bytes
    cpu = {}
    t = interleaved({
        "read the bytes": lambda: read_bytes(path),
        "read_metadata": lambda: tiltgram.read_metadata(path),
        "bytes + fill arrays": lambda: floor_columns(path, rows, cols),
        "read_cwa_file": lambda: tiltgram.read_cwa_file(path),
    }, rounds=7, ballast=ballast, cpu=cpu)
    for name, sec in t.items():
        print(f"  {name:22s} {sec:8.3f} s")
    print("processor time (medians):")
    print_cpu(cpu)
    print(f"read_metadata / read bytes          = {t['read_metadata'] / t['read the bytes']:.2f}  (target <= 1.5)")
    print(f"read_cwa_file / (bytes + arrays)    = {t['read_cwa_file'] / t['bytes + fill arrays']:.2f}  (target avx2 <= 1.15, sse2 <= 1.25)")
    total = {k: sum(v) for k, v in cpu.items()}
    print(f"  the same in processor time          = {total['read_cwa_file'] / total['bytes + fill arrays']:.2f}")
    print(machine())

    out = subprocess.run([sys.executable, "-c", PEAK, path], capture_output=True, text=True, check=True)
    base_kb, peak_kb, nbytes = map(int, out.stdout.split())
    print(f"  (fresh process: baseline {base_kb / 1024:.0f} MB, peak {peak_kb / 1024:.0f} MB)")
    extra = (peak_kb - base_kb) * 1024
    print(f"peak RSS over baseline = {extra / 1e9:.2f} GB for a {nbytes / 1e9:.2f} GB result "
          f"= {extra / nbytes:.3f} x  (target <= 1.15)")


if __name__ == "__main__":
    main()
