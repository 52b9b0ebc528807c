"""The resample and read tests again on every other instruction-set path this processor has.

The module picks its code path once per process, capped by TILTGRAM_MAX_ISA, so each
capped run is a pytest of its own in a subprocess; the suite's own run covers the best path.
"""

import os
import subprocess
import sys

import pytest

PATHS = ("sse2", "avx2", "avx512")
HERE = os.path.dirname(os.path.abspath(__file__))


def best_path() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            flags = next((set(line.split(":", 1)[1].split()) for line in fh
                          if line.startswith("flags")), set())
    except OSError:
        flags = set()
    if {"avx512f", "avx512dq", "avx512vl"} <= flags:
        return "avx512"
    return "avx2" if "avx2" in flags else "sse2"


@pytest.mark.parametrize("path", PATHS[:-1])
def test_resample_and_read_on_path(path):
    if PATHS.index(path) >= PATHS.index(best_path()):
        pytest.skip(f"{path} is this processor's best path, which the suite runs itself")
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
         os.path.join(HERE, "test_resample.py"), os.path.join(HERE, "test_read.py")],
        cwd=os.path.dirname(HERE), capture_output=True, text=True,
        env={**os.environ, "TILTGRAM_MAX_ISA": path})
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
