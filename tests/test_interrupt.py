"""Ctrl-C during a long call: SIGINT at a random moment of every long route on a 3-day
recording (regular and gzip-compressed) raises KeyboardInterrupt within half a second,
leaves no descriptor or thread behind, and the next call works; a gzip read whose every
read() of the file stalls for seconds still answers within two."""

from __future__ import annotations

import gzip
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from faults import build_shim

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent / "bench"


@pytest.fixture(scope="session")
def three_days(tmp_path_factory):
    """A 3-day 100 Hz recording (25.9 million rows, 111 MB), its gzip copy (level 1) and a
    gzip copy of its first 100 blocks."""
    sys.path.insert(0, str(BENCH))
    try:
        import synth
    finally:
        sys.path.remove(str(BENCH))
    directory = tmp_path_factory.mktemp("three-days")
    path = directory / "three-days.cwa"
    synth.write(path, days=3.0)
    gz = directory / "three-days.cwa.gz"
    with open(path, "rb") as src, gzip.open(gz, "wb", compresslevel=1) as dst:
        while chunk := src.read(16 << 20):
            dst.write(chunk)
    small = directory / "hundred-blocks.cwa.gz"
    with open(path, "rb") as src:
        small.write_bytes(gzip.compress(src.read(1024 + 100 * 512), compresslevel=1))
    return str(path), str(gz), str(small)


# The child: runs one call when told to, answers how it ended, what it left open and what
# a short read gives afterwards.
CHILD = textwrap.dedent(r"""
    import ctypes, json, os, signal, sys, time
    import tiltgram
    route, path, out, small = sys.argv[1:5]
    stall = json.loads(sys.argv[5])
    calls = {
        "read": lambda: tiltgram.read_cwa_file(path),
        "read-seconds": lambda: tiltgram.read_cwa_file(path, cut=tiltgram.seconds(1)),
        "resampled": lambda: tiltgram.read_cwa_file(path, resample_hz=100),
        "csv": lambda: tiltgram.write_cwa_csv(path, out),
        "metadata": lambda: tiltgram.read_metadata(path),
        "report": lambda: tiltgram.sampling_consistency_report(path),
    }
    tiltgram.read_cwa_file(small, cut=tiltgram.blocks(0, 10))  # pandas imported beforehand
    if stall:
        shim = ctypes.CDLL(os.environ["TG_FAULT_SHIM"])
        shim.tg_stall_read.argtypes = [ctypes.c_char_p, ctypes.c_longlong, ctypes.c_int]
        shim.tg_stall_read(path.encode(), *stall)
    fds, threads = sorted(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
    print("ready", flush=True)
    sys.stdin.readline()
    try:
        calls[route]()
        ended = "done"  # the parent's signal may still end the child: it tries again
    except KeyboardInterrupt:
        ended = "KeyboardInterrupt"
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    print(ended, flush=True)
    if stall:
        shim.tg_fault_clear()
    print(json.dumps({
        "fds_left": sorted(set(os.listdir("/proc/self/fd")) - set(fds)),
        "threads": len(os.listdir("/proc/self/task")) - threads,
        "next": len(tiltgram.read_cwa_file(small, cut=tiltgram.blocks(5, 15))),
    }), flush=True)
""")


def interrupt(route, path, small, out, delay, stall=None, env=None):
    """Runs `route` in a child and sends SIGINT `delay` seconds into the call. Returns how
    the call ended, the seconds from the signal to the child's answer, and what the child
    found afterwards (nothing when the call ended before the signal)."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, route, path, out, small, json.dumps(stall)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=env)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        child.stdin.write("go\n")
        child.stdin.flush()
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        ended = child.stdout.readline().strip()
        latency = time.monotonic() - sent
        after = child.stdout.readline()
        stdout, stderr = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if ended != "KeyboardInterrupt":
        return ended, latency, None
    assert child.returncode == 0 and after, stderr
    return ended, latency, json.loads(after)


# Route, input: every loop that can run for seconds. The plain file's metadata scan takes
# a few tenths of a second and is covered through the gzip copy, whose scan inflates.
LONG_ROUTES = [("read", 0), ("read-seconds", 0), ("resampled", 0), ("csv", 0),
               ("read", 1), ("read-seconds", 1), ("resampled", 1), ("csv", 1),
               ("metadata", 1), ("report", 1)]


@pytest.mark.parametrize("route, gz", LONG_ROUTES, ids=[f"{r}-{'gz' if g else 'raw'}" for r, g in LONG_ROUTES])
def test_ctrl_c_at_a_random_moment_of_a_long_call(three_days, tmp_path, route, gz):
    path = three_days[gz]
    rng = random.Random(f"{route}{gz}{os.getpid()}")
    delay = rng.uniform(0.05, 0.6)
    for _ in range(4):  # a call that ended before the signal is tried again, signalled sooner
        out = str(tmp_path / f"out{delay}.csv")  # a new file: closing a rewritten one flushes it
        ended, latency, after = interrupt(route, path, three_days[2], out, delay)
        if ended == "KeyboardInterrupt":
            break
        delay /= 3
    assert ended == "KeyboardInterrupt", f"the call ended first each time, the last {delay:.3f} s in"
    assert latency < 0.5, f"{latency:.3f} s from SIGINT to KeyboardInterrupt, sent {delay:.3f} s in"
    assert after == {"fds_left": [], "threads": 0, "next": 1200}


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc")
    return build_shim(tmp_path_factory.mktemp("shim"))


@pytest.mark.parametrize("route", ["read", "csv", "metadata"])
def test_ctrl_c_while_every_read_of_the_file_stalls(three_days, tmp_path, shim, route):
    """Each read() of the gzip file waits 3 s: in the decompressing thread, whose every
    signal is blocked, the first read after opening; the reader waits for it."""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, TG_FAULT_SHIM=str(shim))
    ended, latency, after = interrupt(route, three_days[1], three_days[2], str(tmp_path / "out.csv"), 0.5,
                                      stall=[3_000_000, 1], env=env)
    assert ended == "KeyboardInterrupt"
    assert latency < 2.0, f"{latency:.3f} s from SIGINT to KeyboardInterrupt"
    assert after == {"fds_left": [], "threads": 0, "next": 1200}
