"""write_cwa_csv against writing the same bytes from a ready buffer, and against
read_cwa_file + pandas' to_csv, measured side by side in one run.

    .venv/bin/python bench/bench_csv.py [days] [pandas_days] [--quick] [--dir=DIR]

--quick stops after the streaming ratio.

Both steps write the same output file, in a temporary directory under DIR (default /tmp;
/dev/shm for a tmpfs), removed at the end. "write_cwa_csv to /dev/null" is the module's own
work without the output's page cache: decoding and formatting.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile

from common import HWM_SNIPPET, interleaved, machine, print_cpu, recording

import tiltgram

PEAK = r"""
import sys
import tiltgram
HWM
base = hwm_kb()
tiltgram.write_cwa_csv(sys.argv[1], sys.argv[2])
print(base, hwm_kb())
""".replace("HWM\n", HWM_SNIPPET)


def write_bytes(path: str, data: bytes) -> None:
    with open(path, "wb") as fh:
        fh.write(data)


def main() -> None:
    print(machine())
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    days = float(args[0]) if args else 7.0
    pandas_days = float(args[1]) if len(args) > 1 else 1.0
    path = recording(days)
    base = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--dir=")), "/tmp")
    print("outputs under", base)
    with tempfile.TemporaryDirectory(dir=base) as tmp:
        out = os.path.join(tmp, "out.csv")
        tiltgram.write_cwa_csv(path, out)
        size = os.path.getsize(out)
        with open(out, "rb") as fh:
            ready = fh.read()
        lines = ready.count(b"\n")
        cpu = {}
        t = interleaved({
            "write ready bytes": lambda: write_bytes(out, ready),
            "write_cwa_csv": lambda: tiltgram.write_cwa_csv(path, out),
            "write_cwa_csv to /dev/null": lambda: tiltgram.write_cwa_csv(path, os.devnull),
        }, rounds=5, ballast=len(ready), cpu=cpu)
        del ready
        print(f"{days:g}-day recording: {lines} lines, {size / 1e9:.2f} GB of CSV")
        for name, sec in t.items():
            print(f"  {name:20s} {sec:8.3f} s")
        print("processor time (medians):")
        print_cpu(cpu)
        print(f"write_cwa_csv / writing the bytes = {t['write_cwa_csv'] / t['write ready bytes']:.2f}  (target avx2 <= 1.5, sse2 <= 1.8)")
        total = {name: sum(v) for name, v in cpu.items()}
        print(f"the same in processor time (user + system) = {total['write_cwa_csv'] / total['write ready bytes']:.2f}")
        print(machine())
        if "--quick" in sys.argv:
            return

        run = subprocess.run([sys.executable, "-c", PEAK, path, out], capture_output=True, text=True, check=True)
        base, peak = map(int, run.stdout.split())
        print(f"streaming memory: peak {(peak - base) / 1024:.0f} MB over the baseline for {size / 1e9:.2f} GB of CSV")

        small = recording(pandas_days)

        def with_pandas():
            df = tiltgram.read_cwa_file(small, include_temperature=False, include_light=False,
                                        include_battery=False)
            df.index = df.index.astype("int64") / 1e6
            df.to_csv(out, float_format="%.6f", index_label="time")

        t = interleaved({"ours": lambda: tiltgram.write_cwa_csv(small, out), "pandas": with_pandas},
                        rounds=3, ballast=os.path.getsize(small) * 8)
        ours, theirs = t["ours"], t["pandas"]
        print(f"{pandas_days:g}-day: write_cwa_csv {ours:.2f} s, read_cwa_file + to_csv {theirs:.2f} s "
              f"= {theirs / ours:.0f}x faster  (target >= 20)")


if __name__ == "__main__":
    main()
