"""Reading gzip-compressed recordings against zlib's inflating alone, measured side by side.

    .venv/bin/python bench/bench_gzip.py [days] [rounds]
    TILTGRAM_BENCH_BASELINE=DIR ...   also time the module installed in DIR (another build)

The recording is the synthetic 100 Hz packed one, compressed once with gzip level 6 (made
with Python's gzip module and cached under /tmp). The floor "zlib inflate" decompresses the
same .gz with the system's zlib (called through ctypes) into one reused 1 MiB buffer,
reading 256 KiB of compressed bytes at a time, as the reader does. The module's calls run
with the build's inflater (ISA-L where it links it) in this process, and with
TILTGRAM_INFLATE=zlib (and the baseline build) in child processes that time the call
themselves; all are interleaved, round after round, and each step is timed warm. Ratios:

    read_cwa_file(gz) / zlib inflate      target <= 0.65 with ISA-L
    read_metadata(gz) / zlib inflate      target <= 1.0 with ISA-L
    read_cwa_file(raw) / zlib inflate     the decoding alone, for comparison
    the same with zlib inflating          no slower than the baseline build
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gzip
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

from common import machine, recording, warm

import tiltgram

Z_STREAM_END = 1


class ZStream(ctypes.Structure):
    _fields_ = [("next_in", ctypes.c_void_p), ("avail_in", ctypes.c_uint), ("total_in", ctypes.c_ulong),
                ("next_out", ctypes.c_void_p), ("avail_out", ctypes.c_uint), ("total_out", ctypes.c_ulong),
                ("msg", ctypes.c_char_p), ("state", ctypes.c_void_p), ("zalloc", ctypes.c_void_p),
                ("zfree", ctypes.c_void_p), ("opaque", ctypes.c_void_p), ("data_type", ctypes.c_int),
                ("adler", ctypes.c_ulong), ("reserved", ctypes.c_ulong)]


ZLIB = ctypes.CDLL(ctypes.util.find_library("z"))
ZLIB.zlibVersion.restype = ctypes.c_char_p
IN_BUF = ctypes.create_string_buffer(256 << 10)
OUT_BUF = ctypes.create_string_buffer(1 << 20)


def inflate(path: str) -> int:
    """Decompresses a one-member .gz into a reused buffer; returns the decompressed size."""
    zs = ZStream()
    if ZLIB.inflateInit2_(ctypes.byref(zs), 31, ZLIB.zlibVersion(), ctypes.sizeof(zs)) != 0:
        raise RuntimeError("inflateInit2 failed")
    view = memoryview(IN_BUF).cast("B")
    try:
        with open(path, "rb", buffering=0) as fh:
            while True:
                n = fh.readinto(view)
                if n == 0:
                    raise RuntimeError("truncated")
                zs.next_in, zs.avail_in = ctypes.addressof(IN_BUF), n
                while zs.avail_in:
                    zs.next_out, zs.avail_out = ctypes.addressof(OUT_BUF), len(OUT_BUF)
                    rc = ZLIB.inflate(ctypes.byref(zs), 0)
                    if rc == Z_STREAM_END:
                        return zs.total_out
                    if rc != 0:
                        raise RuntimeError(f"inflate: {rc}")
    finally:
        ZLIB.inflateEnd(ctypes.byref(zs))


CHILD = r"""
import resource, sys, time
import numpy as np
import tiltgram
fn = {"read": lambda p: tiltgram.read_cwa_file(p), "meta": lambda p: tiltgram.read_metadata(p)}[sys.argv[1]]
ballast = np.ones(int(sys.argv[3]) // 8); del ballast
r0 = resource.getrusage(resource.RUSAGE_SELF); t = time.perf_counter()
fn(sys.argv[2])
r1 = resource.getrusage(resource.RUSAGE_SELF)
print(time.perf_counter() - t, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime)
"""


def child(what: str, path: str, ballast: int, env: dict):
    """Times one call in a fresh process with `env`: the child's own (wall, user, system)."""
    run = subprocess.run([sys.executable, "-c", CHILD, what, path, str(ballast)], env=env,
                         capture_output=True, text=True, check=True)
    return tuple(map(float, run.stdout.split()))


def inflater_in_use() -> str:
    """The build's inflater as this process loaded it: ISA-L when the module linked libisal."""
    libs = {line.split()[-1] for line in open("/proc/self/maps") if "libisal" in line}
    if not libs or os.environ.get("TILTGRAM_INFLATE") == "zlib":
        return "zlib" + (" (TILTGRAM_INFLATE=zlib)" if libs else " (the build has no ISA-L)")
    return f"ISA-L ({os.path.basename(sorted(libs)[0])})"


def main() -> None:
    days = float(sys.argv[1]) if len(sys.argv) > 1 else 7.0
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    raw = recording(days)
    packed = raw + ".gz"
    if not os.path.exists(packed):
        t = time.perf_counter()
        with open(raw, "rb") as src, gzip.GzipFile(packed + ".part", "wb", compresslevel=6, mtime=0) as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        os.replace(packed + ".part", packed)
        print(f"wrote {packed} in {time.perf_counter() - t:.0f} s")
    size, csize = os.path.getsize(raw), os.path.getsize(packed)
    print(f"{machine()}; zlib {ZLIB.zlibVersion().decode()}")
    print(f"inflater of this build: {inflater_in_use()}")
    print(f"{days:g}-day 100 Hz packed recording: {size / 1e6:.0f} MB, gzip -6: {csize / 1e6:.0f} MB "
          f"({100 * csize / size:.0f} %)")
    assert inflate(packed) == size

    df = tiltgram.read_cwa_file(raw)
    ballast = size + df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
    del df
    zlib_env = dict(os.environ, TILTGRAM_INFLATE="zlib")
    here = {"zlib inflate": lambda: inflate(packed),
            "read_metadata(gz)": lambda: tiltgram.read_metadata(packed),
            "read_cwa_file(gz)": lambda: tiltgram.read_cwa_file(packed),
            "read_cwa_file(raw)": lambda: tiltgram.read_cwa_file(raw)}
    children = {"read_metadata(gz), zlib": ("meta", zlib_env),
                "read_cwa_file(gz), zlib": ("read", zlib_env)}
    baseline = os.environ.get("TILTGRAM_BENCH_BASELINE")
    if baseline:
        base_env = dict(os.environ, PYTHONPATH=baseline)
        base_env.pop("TILTGRAM_INFLATE", None)
        children["read_metadata(gz), baseline"] = ("meta", base_env)
        children["read_cwa_file(gz), baseline"] = ("read", base_env)
    times: dict = {name: [] for name in [*here, *children]}
    main: dict = {name: [] for name in here}  # the calling thread's share of the processor time
    for _ in range(rounds):
        for name, fn in here.items():
            warm(ballast)
            r0, m0 = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_THREAD)
            t = time.perf_counter()
            result = fn()
            wall = time.perf_counter() - t
            r1, m1 = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_THREAD)
            times[name].append((wall, r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime))
            main[name].append((m1.ru_utime - m0.ru_utime, m1.ru_stime - m0.ru_stime))
            del result
        for name, (what, env) in children.items():
            times[name].append(child(what, packed, ballast, env))
    med = {name: tuple(statistics.median(r[i] for r in v) for i in range(3)) for name, v in times.items()}
    for name, (wall, user, system) in med.items():
        line = f"  {name:30s} {wall:8.3f} s   (user {user:6.3f} s, system {system:6.3f} s"
        if name in main:
            mu, ms = (statistics.median(r[i] for r in main[name]) for i in range(2))
            line += f"; calling thread {mu:.3f} + {ms:.3f} s"
        print(line + ")")
    # With two cores free, a gzip read takes about the longer of its two threads: the
    # inflating one (the processor time beside the calling thread's) and the decoding one.
    # On a busy machine the wall times follow the processor time that the other work leaves,
    # and these ratios show what two free cores would give.
    floor_cpu = med["zlib inflate"][1] + med["zlib inflate"][2]
    mu, ms = (statistics.median(r[i] for r in main["read_cwa_file(gz)"]) for i in range(2))
    _, user, system = med["read_cwa_file(gz)"]
    print(f"read_cwa_file(gz), processor time / zlib inflate's: inflating thread "
          f"{(user + system - mu - ms) / floor_cpu:.2f}, calling thread {(mu + ms) / floor_cpu:.2f}, "
          f"both {(user + system) / floor_cpu:.2f}")
    floor = med["zlib inflate"][0]
    print(f"read_cwa_file(gz) / zlib inflate = {med['read_cwa_file(gz)'][0] / floor:.2f}  (target <= 0.65)")
    print(f"read_metadata(gz) / zlib inflate = {med['read_metadata(gz)'][0] / floor:.2f}  (target <= 1.0)")
    # The plain read is what decoding costs beside the inflating thread: with a second core
    # free, the gzip read takes about the longer of the two.
    print(f"read_cwa_file(raw) / zlib inflate = {med['read_cwa_file(raw)'][0] / floor:.2f}  (the decoding alone)")
    print(f"with zlib inflating: read_cwa_file(gz) / zlib inflate = "
          f"{med['read_cwa_file(gz), zlib'][0] / floor:.2f}, read_metadata(gz) / zlib inflate = "
          f"{med['read_metadata(gz), zlib'][0] / floor:.2f}")
    if baseline:
        print(f"baseline build:      read_cwa_file(gz) / zlib inflate = "
              f"{med['read_cwa_file(gz), baseline'][0] / floor:.2f}, read_metadata(gz) / zlib inflate = "
              f"{med['read_metadata(gz), baseline'][0] / floor:.2f}")
    print(f"load after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
