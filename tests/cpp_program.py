"""Builds a standalone C++ check from the core's sources and runs it."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def compiler(name: str = "g++") -> str:
    """The path of the compiler `name`. Where it is missing the calling test is skipped on a
    developer's machine, but fails under CI=true: CI installs it, and a check that silently
    stops running is a hole in the suite."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{name} is not on PATH, and CI must run the C++ checks")
        pytest.skip(f"{name} is not on PATH")
    return path


def build_and_run(tmp_path, name: str, sources: list[str]) -> None:
    """Compiles tests/cpp/{name}.cpp with `sources` (relative to the repository) and asserts
    that the program exits with 0."""
    gxx = compiler()
    exe = tmp_path / name
    build = subprocess.run(
        [gxx, "-std=c++20", "-O2", "-ffp-contract=off", "-Isrc", f"tests/cpp/{name}.cpp",
         *sources, "-o", str(exe)],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, f"compile failed:\n{build.stdout}{build.stderr}"
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"exit {run.returncode}:\n{run.stdout}{run.stderr}"
