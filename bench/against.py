"""The plain read, the resampled reads at 30 Hz and 100 Hz, the CSV route and the read of the
gzip-compressed copy on each instruction-set path, this tree's module against another build
(say, main's), side by side in one run.

    .venv/bin/python bench/against.py DIR [days] [rounds] [--callgrind]

DIR holds the other build: a module per path in DIR/sse2, DIR/avx2, DIR/avx512 (for builds
that predate the run-time cap: pip install --target DIR/sse2 -C
cmake.define.TILTGRAM_MAX_ISA=sse2 ...), or one module in DIR itself. Every measurement is
a fresh process with TILTGRAM_MAX_ISA set to the path; the rounds interleave the paths and
the two builds, and the medians are printed with the ratio this / other. --callgrind also
counts instructions (valgrind hides AVX-512 from the processor, so for sse2 and avx2 only):
the count of a process that reads, less that of one that only imports.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile

from common import ISA_ORDER, cpu_isa, machine, recording

# Each step is a call on the recording `path` (its gzip -6 copy: `gz`).
STEPS = {
    "read_cwa_file": "tiltgram.read_cwa_file(path)",
    "resample_hz=30": "tiltgram.read_cwa_file(path, resample_hz=30.0)",
    "resample_hz=100": "tiltgram.read_cwa_file(path, resample_hz=100.0)",
    "write_cwa_csv": "tiltgram.write_cwa_csv(path, os.devnull)",
    "read_cwa_file(gz)": "tiltgram.read_cwa_file(gz)",
}

CHILD = r"""
import json, os, resource, sys, time
import numpy as np
import tiltgram
path = sys.argv[1]
gz = path + ".gz"
out = {}
warm = tiltgram.read_cwa_file(path); del warm  # a first read also pays for first-touching memory
for name, call in json.loads(sys.argv[2]).items():
    ballast = np.ones(int(sys.argv[3]) // 8); del ballast
    r0 = resource.getrusage(resource.RUSAGE_SELF); t = time.perf_counter()
    df = eval(call)
    wall = time.perf_counter() - t; r1 = resource.getrusage(resource.RUSAGE_SELF)
    out[name] = [wall, r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime]
    del df
print(json.dumps(out))
"""


def env_for(build: str | None, path: str) -> dict:
    env = {**os.environ, "TILTGRAM_MAX_ISA": path}
    if build is not None:
        env["PYTHONPATH"] = os.path.join(build, path) if os.path.isdir(os.path.join(build, path)) else build
    return env


def callgrind(build: str | None, path: str, rec: str, call: str | None) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = "import os, sys, tiltgram\npath = sys.argv[1]\ngz = path + '.gz'\n"
        if call is not None:
            code += call
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, "-c", code, rec], env=env_for(build, path),
                       check=True, capture_output=True)
        with open(out) as fh:
            for line in fh:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
    raise RuntimeError("no callgrind total")


def gzipped(rec: str) -> None:
    """Makes the recording's gzip -6 copy beside it, once."""
    if not os.path.exists(rec + ".gz"):
        subprocess.run(f"gzip -6 -c '{rec}' > '{rec}.gz'", shell=True, check=True)


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if not args:
        sys.exit(__doc__)
    other = os.path.abspath(args[0])
    days = float(args[1]) if len(args) > 1 else 2.0
    rounds = int(args[2]) if len(args) > 2 else 5
    rec = recording(days)
    gzipped(rec)
    paths = [p for p in ISA_ORDER if ISA_ORDER.index(p) <= ISA_ORDER.index(cpu_isa())]
    builds = {"this": None, "other": other}
    ballast = os.path.getsize(rec) * 10
    times = {(p, b, s): [] for p in paths for b in builds for s in STEPS}
    for r in range(rounds):
        for p in paths:
            order = list(builds) if r % 2 == 0 else list(builds)[::-1]
            for b in order:
                run = subprocess.run([sys.executable, "-c", CHILD, rec, json.dumps(STEPS), str(ballast)],
                                     env=env_for(builds[b], p), check=True, capture_output=True,
                                     text=True)
                for s, (wall, cpu) in json.loads(run.stdout).items():
                    times[(p, b, s)].append((wall, cpu))
    print(machine())
    print(f"{days:g}-day 100 Hz packed recording, {rounds} rounds; medians in seconds, "
          f"wall (processor); this tree against {other}")
    for p in paths:
        print(f"== {p}")
        for s in STEPS:
            this = [statistics.median(v) for v in zip(*times[(p, 'this', s)])]
            them = [statistics.median(v) for v in zip(*times[(p, 'other', s)])]
            print(f"  {s:16s} this {this[0]:7.3f} ({this[1]:6.3f})  other {them[0]:7.3f} "
                  f"({them[1]:6.3f})  this/other {this[0] / them[0]:5.2f} ({this[1] / them[1]:5.2f})")
    if "--callgrind" in sys.argv:
        small = recording(0.05)
        gzipped(small)
        print(f"instructions (callgrind), 0.05-day recording, less an import-only process:")
        for p in [p for p in paths if p != "avx512"]:
            base = {b: callgrind(builds[b], p, small, None) for b in builds}
            for s, call in STEPS.items():
                n = {b: callgrind(builds[b], p, small, call) - base[b] for b in builds}
                print(f"  {p:6s} {s:16s} this {n['this']:>13,}  other {n['other']:>13,}  "
                      f"this/other {n['this'] / n['other']:.4f}")


if __name__ == "__main__":
    main()
