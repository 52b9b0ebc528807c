"""Instruction counts of the resampler's row code (callgrind: repeatable whatever the load),
this tree against another source tree (say, main's), per instruction-set path.

    .venv/bin/python bench/rows_callgrind.py OTHER_TREE [blocks]

Builds bench/rows_driver.cpp with each tree's resampler, capped at each path by the build
(TILTGRAM_MAX_ISA_LEVEL), and counts the instructions inside StreamingResampler::emit_ready
for 30 Hz and 100 Hz rows of a synthetic 100 Hz recording (and 100 Hz of a 6-axis one).
Valgrind hides AVX-512 from the processor, so only sse2 and avx2 are counted.
"""

from __future__ import annotations

import glob
import os
import subprocess
import sys
import tempfile

from common import machine

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The sources the driver needs, where they are now and where older trees kept them (a tree
# compared with this one may predate the stage folders).
SOURCES = [("src/package/resample/resample.cpp", "src/package/resample.cpp"),
           ("src/package/decode/isa.cpp", "src/package/isa.cpp"),
           ("src/package/columns/column.cpp", "src/package/column.cpp"),
           ("src/packet/time.cpp", "src/header/time.cpp")]
VECTOR_SOURCES = ("src/package/resample/resample_vector*.cpp", "src/package/resample_vector*.cpp")


def in_tree(tree: str, places: tuple[str, ...]) -> list[str]:
    for place in places:
        found = glob.glob(os.path.join(tree, place))
        if found:
            return found
    raise FileNotFoundError(f"none of {places} in {tree}")
PATHS = {"sse2": 0, "avx2": 1}
RUNS = {"30 Hz": ["30"], "100 Hz": ["100"], "100 Hz, 6-axis": ["100", "", "6"]}


def build(tree: str, level: int, out: str) -> None:
    subprocess.run(["g++", "-std=c++20", "-O3", "-ffp-contract=off", f"-DTILTGRAM_MAX_ISA_LEVEL={level}",
                    f"-I{tree}/src", os.path.join(HERE, "rows_driver.cpp"),
                    *[f for s in SOURCES for f in in_tree(tree, s)],
                    *in_tree(tree, VECTOR_SOURCES), "-o", out],
                   check=True)


def count(exe: str, args: list[str], blocks: str, tmp: str) -> int:
    out = os.path.join(tmp, "cg.out")
    args = [a if a else blocks for a in args] + ([] if len(args) > 1 else [blocks])
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    "--toggle-collect=*StreamingResampler::emit_ready*", exe, *args],
                   check=True, capture_output=True, env={**os.environ, "TILTGRAM_MAX_ISA": ""})
    with open(out) as fh:
        for line in fh:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("no callgrind total")


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    other = os.path.abspath(sys.argv[1])
    blocks = sys.argv[2] if len(sys.argv) > 2 else "3000"
    print(machine())
    print(f"instructions in emit_ready, {blocks} blocks of 120 samples; this tree against {other}")
    with tempfile.TemporaryDirectory() as tmp:
        for path, level in PATHS.items():
            exes = {}
            for name, tree in (("this", ROOT), ("other", other)):
                exes[name] = os.path.join(tmp, f"{name}-{path}")
                build(tree, level, exes[name])
            for run, args in RUNS.items():
                n = {name: count(exe, args, blocks, tmp) for name, exe in exes.items()}
                print(f"  {path:5s} {run:15s} this {n['this']:>13,}  other {n['other']:>13,}  "
                      f"this/other {n['this'] / n['other']:.4f}", flush=True)


if __name__ == "__main__":
    main()
