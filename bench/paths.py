"""Runs a benchmark once per instruction-set path, each through the module built with that
path as its cap (TILTGRAM_MAX_ISA), so every path is measured on one machine.

    .venv/bin/python bench/paths.py bench_read.py [args...]
    TILTGRAM_BENCH_PATHS=sse2,avx2 .venv/bin/python bench/paths.py bench_resample.py

Builds go to /tmp/tiltgram-paths/<path>, or under $TILTGRAM_PATHS_DIR (reused when the
sources have not changed); paths above what this processor has are skipped, as they would
run the best path it has.
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys

from common import ISA_ORDER, cpu_isa

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = os.environ.get("TILTGRAM_PATHS_DIR", "/tmp/tiltgram-paths")


def sources_digest() -> str:
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


def build(path: str) -> str:
    target = os.path.join(BUILDS, path)
    stamp = os.path.join(target, ".sources")
    digest = sources_digest()
    if os.path.exists(stamp) and open(stamp).read() == digest:
        return target
    print(f"building the module with TILTGRAM_MAX_ISA={path} into {target}", flush=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                    "--no-deps", "--upgrade", "--target", target,
                    "-C", f"cmake.define.TILTGRAM_MAX_ISA={path}",
                    "-C", f"build-dir={os.path.join(BUILDS, 'build-' + path)}", ROOT],
                   check=True, env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    with open(stamp, "w") as fh:
        fh.write(digest)
    return target


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
        target = build(path)
        print(f"== {path}", flush=True)
        env = {**os.environ, "PYTHONPATH": target, "TILTGRAM_BENCH_MAX_ISA": path}
        subprocess.run([sys.executable, script, *sys.argv[2:]], env=env, check=True)


if __name__ == "__main__":
    main()
