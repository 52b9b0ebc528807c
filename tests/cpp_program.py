"""The C++ checks (tests/cpp) and the fuzz targets (fuzz/), built by CMake with
AddressSanitizer and UBSan into build/asan, the directory where scripts/asan.sh builds the
module (so the core is compiled once for both), and run through ctest."""

from __future__ import annotations

import fcntl
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "asan"
CONFIGURE = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTILTGRAM_SANITIZE=ON",
             "-DTILTGRAM_CHECKS=ON", "-DTILTGRAM_FUZZ=ON"]


def tool(name: str) -> str:
    """The path of the program `name` (the virtual environment's first). Where it is missing
    the calling test is skipped on a developer's machine, but fails under CI=true: CI
    installs it, and a check that silently stops running is a hole in the suite."""
    beside = Path(sys.executable).parent / name
    path = str(beside) if beside.exists() else shutil.which(name)
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{name} is not on PATH, and CI must run the C++ checks")
        pytest.skip(f"{name} is not on PATH")
    return path


def compiler(name: str = "g++") -> str:
    return tool(name)


def environment() -> dict[str, str]:
    # Under scripts/asan.sh the interpreter runs with the sanitizer runtimes preloaded; the
    # build tools must not be.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


_configured = False


def build(*targets: str) -> Path:
    """Builds `targets` in build/asan (configured once per session) and returns that
    directory. One configure or build at a time, also across test processes."""
    global _configured
    compiler()
    cmake, ninja = tool("cmake"), tool("ninja")
    BUILD.mkdir(parents=True, exist_ok=True)
    with open(BUILD / ".tests.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not _configured:
            run = subprocess.run(
                [cmake, "-S", str(ROOT), "-B", str(BUILD), *CONFIGURE,
                 f"-DCMAKE_MAKE_PROGRAM={ninja}", f"-DPython_EXECUTABLE={sys.executable}"],
                capture_output=True, text=True, env=environment(), timeout=600,
            )
            assert run.returncode == 0, f"cmake failed:\n{run.stdout}{run.stderr}"
            _configured = True
        run = subprocess.run([cmake, "--build", str(BUILD), "--target", *targets],
                             capture_output=True, text=True, env=environment(), timeout=1800)
    assert run.returncode == 0, f"build failed:\n{run.stdout[-6000:]}{run.stderr[-4000:]}"
    return BUILD


def ctest(name: str) -> str:
    """Builds the program of the ctest test `name` (a check of tests/cpp, or `fuzz_x_corpus`,
    the replay of a fuzz corpus), runs that test and returns its output."""
    build(name.removesuffix("_corpus"))
    run = subprocess.run(
        [tool("ctest"), "--test-dir", str(BUILD), "-R", f"^{name}$", "--no-tests=error",
         "--output-on-failure", "-V"],
        capture_output=True, text=True, env=environment(), timeout=900,
    )
    assert run.returncode == 0, f"ctest {name} failed:\n{run.stdout[-6000:]}{run.stderr[-2000:]}"
    return run.stdout


def run_check(name: str) -> None:
    """Runs the C++ check tests/cpp/{name}.cpp, which exits with 0 when every check holds."""
    ctest(name)
