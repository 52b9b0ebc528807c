"""What the long loops' checks for Ctrl-C cost: each route timed through this build and
through the same sources built without the checks (TILTGRAM_INTERRUPT_POLL=OFF), in child
processes taking turns, round after round; medians and their ratio, and processor time.

    .venv/bin/python bench/bench_interrupt.py [days=3] [rounds=5]
    .venv/bin/python bench/bench_interrupt.py --callgrind [days=0.25]

With --callgrind, the instructions each route executes inside the module's functions
(valgrind's callgrind, collecting only within the binding's entry points), through both
builds made unstripped for the purpose: repeatable to a few thousand instructions whatever
the machine's load, where timings and whole-process counts (the interpreter, pandas, the
collector) move by more than the checks could cost.

The variants are built into /tmp/tiltgram-paths/{nopoll,poll} (or under $TILTGRAM_PATHS_DIR),
reused while the sources are unchanged.
"""

from __future__ import annotations

import hashlib
import json
import os
import statistics
import subprocess
import sys

from common import machine, recording

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = os.environ.get("TILTGRAM_PATHS_DIR", "/tmp/tiltgram-paths")


def sources_digest() -> str:
    """What the variant build is made from: it is rebuilt when this changes."""
    h = hashlib.sha256()
    for top in ("src", "CMakeLists.txt", "pyproject.toml"):
        full = os.path.join(ROOT, top)
        files = [full] if os.path.isfile(full) else sorted(
            os.path.join(d, f) for d, _, fs in os.walk(full) for f in fs)
        for name in files:
            h.update(name.encode())
            with open(name, "rb") as fh:
                h.update(fh.read())
    return h.hexdigest()


CHILD = r"""
import gc, json, os, resource, sys, time
import pandas  # imported here, not inside the first call
import tiltgram
raw, gz = sys.argv[1:3]
routes = {
    "read_cwa_file": lambda: tiltgram.read_cwa_file(raw),
    "seconds cut": lambda: tiltgram.read_cwa_file(raw, cut=tiltgram.seconds(3600, None)),
    "resample_hz=100": lambda: tiltgram.read_cwa_file(raw, resample_hz=100),
    "write_cwa_csv": lambda: tiltgram.write_cwa_csv(raw, os.devnull),
    "timing report": lambda: tiltgram.sampling_consistency_report(raw),
    "read_metadata(gz)": lambda: tiltgram.read_metadata(gz),
    "read_cwa_file(gz)": lambda: tiltgram.read_cwa_file(gz),
}
tiltgram.read_cwa_file(raw, cut=tiltgram.blocks(0, 10))
out = {}
if len(sys.argv) > 3:
    routes = {k: v for k, v in routes.items() if k == sys.argv[3]}
for name, fn in routes.items():
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    t = time.perf_counter()
    result = fn()
    wall = time.perf_counter() - t
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    del result
    gc.collect()
    out[name] = [wall, r1.ru_utime - r0.ru_utime]
print(json.dumps(out))
"""


def build(name: str, *defines: str) -> str:
    """The module built from these sources with `defines` into BUILDS/name."""
    target = os.path.join(BUILDS, name)
    stamp = os.path.join(target, ".sources")
    digest = sources_digest() + repr(defines)
    if os.path.exists(stamp) and open(stamp).read() == digest:
        return target
    print(f"building the module ({name}) into {target}", flush=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                    "--no-deps", "--upgrade", "--target", target,
                    *[arg for d in defines for arg in ("-C", d)],
                    "-C", f"build-dir={os.path.join(BUILDS, 'build-' + name)}", ROOT],
                   check=True, env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    with open(stamp, "w") as fh:
        fh.write(digest)
    return target


def build_without_checks(unstripped: bool = False) -> str:
    defines = ["cmake.define.TILTGRAM_INTERRUPT_POLL=OFF"]
    if unstripped:
        return build("nopoll-symbols", *defines, "install.strip=false")
    return build("nopoll", *defines)


# Collection is switched on and off on entering and leaving a binding's entry point (a
# nested match would switch it off again, hence the whole signature).
ENTRY_POINTS = "tiltgram::py::py_*(_object*, _object* const*, long, _object*)"


def instructions(env: dict, raw: str, gz: str, route: str, out: str) -> int:
    """The instructions that `route` executes inside the module's entry points (callgrind)."""
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    f"--toggle-collect={ENTRY_POINTS}",
                    sys.executable, "-c", CHILD, raw, gz, route],
                   env={**env, "PYTHONHASHSEED": "0"}, capture_output=True, text=True, check=True)
    with open(out) as fh:
        for line in fh:
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    return total


def callgrind(days: float) -> None:
    builds = {"with checks": build("poll-symbols", "install.strip=false"),
              "without": build_without_checks(unstripped=True)}
    print(machine())
    raw = recording(days)
    gz = raw + ".gz"
    if not os.path.exists(gz):
        subprocess.run(f"gzip -6 -c '{raw}' > '{gz}'", shell=True, check=True)
    print(f"{days:g}-day 100 Hz recording: instructions inside the module's entry points "
          "(callgrind; the decompressing thread not counted)")
    names = os.environ.get("TILTGRAM_BENCH_ROUTES", "read_cwa_file,seconds cut,resample_hz=100,"
                           "write_cwa_csv,timing report,read_metadata(gz),"
                           "read_cwa_file(gz)").split(",")
    out = os.path.join(BUILDS, "callgrind.out")
    print(f"  {'route':20s} {'with':>15s} {'without':>15s} {'ratio':>8s}")
    for r in names:
        w, wo = (instructions({**os.environ, "PYTHONPATH": target}, raw, gz, r, out)
                 for target in builds.values())
        print(f"  {r:20s} {w:15,d} {wo:15,d} {w / wo:8.5f}", flush=True)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--callgrind":
        callgrind(float(sys.argv[2]) if len(sys.argv) > 2 else 0.25)
        return
    days = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    without = build_without_checks()
    print(machine())
    raw = recording(days)
    gz = raw + ".gz"
    if not os.path.exists(gz):
        subprocess.run(f"gzip -6 -c '{raw}' > '{gz}'", shell=True, check=True)
    print(f"{days:g}-day 100 Hz recording, {rounds} rounds, builds taking turns")
    builds = {"with checks": None, "without": without}
    runs = {name: [] for name in builds}
    for r in range(rounds):
        order = list(builds) if r % 2 == 0 else list(reversed(builds))
        for name in order:
            env = dict(os.environ)
            if builds[name]:
                env["PYTHONPATH"] = builds[name]
            proc = subprocess.run([sys.executable, "-c", CHILD, raw, gz], env=env,
                                  capture_output=True, text=True, check=True)
            runs[name].append(json.loads(proc.stdout))
    routes = list(runs["with checks"][0])
    print(f"  {'route':20s} {'with (s)':>9s} {'without':>9s} {'ratio':>6s}   "
          f"{'user with':>9s} {'without':>9s} {'ratio':>6s}")
    for route in routes:
        med = {n: [statistics.median(run[route][k] for run in runs[n]) for k in (0, 1)] for n in runs}
        w, wo = med["with checks"], med["without"]
        print(f"  {route:20s} {w[0]:9.3f} {wo[0]:9.3f} {w[0] / wo[0]:6.3f}   "
              f"{w[1]:9.3f} {wo[1]:9.3f} {w[1] / wo[1]:6.3f}")


if __name__ == "__main__":
    main()
