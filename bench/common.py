"""Timing helpers for the benchmarks: interleaved rounds with warm memory, medians.

This machine hands freed memory back to its host about a second after it is freed, and
first-touching memory after that is many times slower. So every timed step is preceded by
a ballast of about the result plus the file, allocated, touched and freed, and the floor and
the code under test are timed in the same process, interleaved.
"""

from __future__ import annotations

import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import synth  # noqa: E402


def recording(days: float, fmt: int = 0x30, name: str | None = None, movement: bool = False) -> str:
    """A cached synthetic recording under /tmp (made once)."""
    path = name or f"/tmp/tiltgram-bench-{days:g}d-{fmt:02x}.cwa"
    if not os.path.exists(path):
        t = time.perf_counter()
        tmp = path + ".part"
        synth.write(tmp, days, fmt, movement=movement)
        os.replace(tmp, path)
        print(f"wrote {path} ({os.path.getsize(path) / 1e6:.0f} MB) in {time.perf_counter() - t:.1f} s")
    return path


def warm(nbytes: int) -> None:
    """Allocate, touch and free a ballast so that the next step finds warm memory."""
    ballast = np.ones(max(1, nbytes // 8), dtype=np.float64)
    del ballast


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as fh:
        return fh.read()


def interleaved(steps: dict, rounds: int, ballast: int) -> dict:
    """Runs each step once per round, in turn, warm; returns the median seconds per step."""
    times = {name: [] for name in steps}
    for _ in range(rounds):
        for name, fn in steps.items():
            warm(ballast)
            t = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - t)
            del result
    return {name: statistics.median(v) for name, v in times.items()}


def peak_rss_mb() -> float:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


# A fresh process's own high-water mark of resident memory: ru_maxrss is inherited
# across exec from the parent, VmHWM is not.
HWM_SNIPPET = r"""
def hwm_kb():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
"""


def processor() -> str:
    """The processor's model and the vector extensions the reader's code paths choose from."""
    model, flags = "unknown processor", set()
    with open("/proc/cpuinfo") as fh:
        for line in fh:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    wanted = ("sse4_2", "avx", "avx2", "fma", "avx512f", "avx512bw", "avx512vl")
    return f"{model}; {' '.join(f for f in wanted if f in flags)}"
