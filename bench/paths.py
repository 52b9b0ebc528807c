"""Runs a benchmark once per instruction-set path, each in a process whose path is capped
by the environment variable TILTGRAM_MAX_ISA, so one build measures every path.

    .venv/bin/python bench/paths.py bench_read.py [args...]
    TILTGRAM_BENCH_PATHS=sse2,avx2 .venv/bin/python bench/paths.py bench_resample.py

Paths above what this processor has are skipped, as they would run the best path it has.
"""

from __future__ import annotations

import os
import subprocess
import sys

from common import ISA_ORDER, cpu_isa


def main() -> None:
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), sys.argv[1])
    have = ISA_ORDER.index(cpu_isa())
    wanted = os.environ.get("TILTGRAM_BENCH_PATHS", ",".join(ISA_ORDER)).split(",")
    for path in wanted:
        if ISA_ORDER.index(path) > have:
            print(f"== {path}: not on this processor, skipped")
            continue
        print(f"== {path}", flush=True)
        subprocess.run([sys.executable, script, *sys.argv[2:]],
                       env={**os.environ, "TILTGRAM_MAX_ISA": path}, check=True)


if __name__ == "__main__":
    main()
