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


def recording(days: float, fmt: int = 0x30, name: str | None = None, movement: bool = False,
              still_nights: bool = False) -> str:
    """A cached synthetic recording under /tmp (made once)."""
    path = name or f"/tmp/tiltgram-bench-{days:g}d-{fmt:02x}.cwa"
    if not os.path.exists(path):
        t = time.perf_counter()
        tmp = path + ".part"
        synth.write(tmp, days, fmt, movement=movement, still_nights=still_nights)
        os.replace(tmp, path)
        print(f"wrote {path} ({os.path.getsize(path) / 1e6:.0f} MB) in {time.perf_counter() - t:.1f} s")
    return path


ISA_ORDER = ("sse2", "avx2", "avx512")


def cpu_isa() -> str:
    """The highest of the module's instruction-set paths that this processor has."""
    flags = cpu_flags()
    if {"avx512f", "avx512dq", "avx512vl"} <= flags:
        return "avx512"
    return "avx2" if "avx2" in flags else "sse2"


def cpu_flags() -> set:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def machine() -> str:
    """The processor's model and vector flags, and the code path the module runs: the best
    the processor has, capped by TILTGRAM_MAX_ISA (bench/paths.py sets it for each path)."""
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    flags = cpu_flags()
    shown = [f for f in ("sse2", "sse4_1", "avx", "avx2", "fma", "avx512f", "avx512dq", "avx512vl")
             if f in flags]
    cap = os.environ.get("TILTGRAM_MAX_ISA", "").lower() or "avx512"
    cap = cap if cap in ISA_ORDER else "sse2"  # the module caps an unknown value at the baseline
    path = min(cpu_isa(), cap, key=ISA_ORDER.index)
    return (f"processor: {model}, {os.cpu_count()} cores; flags: {' '.join(shown)}; "
            f"code path: {path} (cap {cap}); load {os.getloadavg()[0]:.2f}")


def warm(nbytes: int) -> None:
    """Allocate, touch and free a ballast so that the next step finds warm memory."""
    ballast = np.ones(max(1, nbytes // 8), dtype=np.float64)
    del ballast


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as fh:
        return fh.read()


def interleaved(steps: dict, rounds: int, ballast: int, cpu: dict | None = None) -> dict:
    """Runs each step once per round, in turn, warm; returns the median seconds per step.
    With `cpu`, also fills it with each step's median processor time (user, system) in
    seconds: on a machine busy with other work these move far less than the wall times."""
    import resource
    times = {name: [] for name in steps}
    used = {name: [] for name in steps}
    for _ in range(rounds):
        for name, fn in steps.items():
            warm(ballast)
            r0 = resource.getrusage(resource.RUSAGE_SELF)
            t = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - t)
            r1 = resource.getrusage(resource.RUSAGE_SELF)
            used[name].append((r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime))
            del result
    if cpu is not None:
        for name, v in used.items():
            cpu[name] = (statistics.median(u for u, _ in v), statistics.median(s for _, s in v))
    return {name: statistics.median(v) for name, v in times.items()}


def print_cpu(cpu: dict) -> None:
    """Prints the processor times that interleaved() measured."""
    for name, (user, system) in cpu.items():
        print(f"  {name:22s} user {user:6.3f} s  system {system:6.3f} s")


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

