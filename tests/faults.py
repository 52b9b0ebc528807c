"""Calls of the module in a child process whose read/pread/write fail where a test says
(tests/fault_shim.c, loaded with LD_PRELOAD), with the descriptors the call left open and
how much the process grew."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from cpp_program import compiler

TESTS = Path(__file__).resolve().parent

# The child: one JSON request a line on stdin, one JSON answer a line on stdout.
DRIVER = textwrap.dedent("""
    import ctypes, gc, json, os, sys
    import routes, tiltgram
    shim = ctypes.CDLL(os.environ["TG_FAULT_SHIM"])
    shim.tg_fault_read.argtypes = shim.tg_fault_write.argtypes = [
        ctypes.c_char_p, ctypes.c_longlong, ctypes.c_int, ctypes.c_int]
    shim.tg_fault_hits.restype = ctypes.c_long

    def fds():
        return sorted(os.listdir("/proc/self/fd"))

    def rss():
        with open("/proc/self/statm") as fh:
            return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def once(req):
        shim.tg_fault_clear()
        for name in ("read", "write"):
            if req.get(name):
                path, offset, errnum, skip = req[name]
                getattr(shim, "tg_fault_" + name)(path.encode(), offset, errnum, skip)
        hits = shim.tg_fault_hits()
        try:
            routes.call(req["route"], req["path"], req["output"], **req.get("kwargs", {}))
            out = ["ok", None]
        except Exception as exc:
            out = [type(exc).__name__, str(exc)]
        finally:
            hit = shim.tg_fault_hits() - hits
            shim.tg_fault_clear()
        return out, hit

    tiltgram.read_cwa_file  # imports done before the first measure
    for line in sys.stdin:
        req = json.loads(line)
        before = fds()
        out, hit = once(req)
        grown = None
        if req.get("repeat"):
            for _ in range(5):
                once(req)
            gc.collect()
            start = rss()
            for _ in range(req["repeat"]):
                once(req)
            gc.collect()
            grown = rss() - start
        print(json.dumps({"outcome": out, "hits": hit, "fds_left": sorted(set(fds()) - set(before)),
                          "grown": grown}), flush=True)
""")


class FaultyChild:
    """A child interpreter with the fault library preloaded."""

    def __init__(self, shim: Path):
        # After any runtime already preloaded (the sanitizer build needs its own first).
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(shim)]))
        # Under AddressSanitizer a freed block is reused at once, not held in a quarantine that
        # would grow the process call after call.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS", ""), "quarantine_size_mb=0"]))
        env = dict(os.environ, LD_PRELOAD=preload, TG_FAULT_SHIM=str(shim), ASAN_OPTIONS=asan,
                   PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
        self.proc = subprocess.Popen([sys.executable, "-c", DRIVER], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)

    def call(self, route, path, output, read=None, write=None, repeat=0, **kwargs):
        """Runs `route` with a read fault (offset, errno, skip) on `path` and/or a write fault
        on `output`; errno 0 is an end of file. Returns the answer dict: "outcome" (type
        name and text, or "ok"), "hits" (faults delivered), "fds_left" and, with `repeat`,
        "grown" (resident bytes gained over that many more calls)."""
        req = {"route": route, "path": str(path), "output": str(output), "kwargs": kwargs,
               "read": [str(path), *read] if read else None,
               "write": [str(output), *write] if write else None, "repeat": repeat}
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, f"the child died (exit {self.proc.wait()})"
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def build_shim(directory: Path) -> Path:
    out = directory / "fault_shim.so"
    built = subprocess.run([compiler("cc"), "-shared", "-fPIC", "-O1", "-o", str(out),
                            str(TESTS / "fault_shim.c"), "-ldl"], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return out


@pytest.fixture(scope="session")
def faulty(tmp_path_factory):
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc")
    child = FaultyChild(build_shim(tmp_path_factory.mktemp("shim")))
    yield child
    child.close()
