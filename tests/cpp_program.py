"""Builds a standalone C++ check from the core's sources and runs it."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def build_and_run(tmp_path, name: str, sources: list[str]) -> None:
    """Compiles tests/cpp/{name}.cpp with `sources` (relative to the repository) and asserts
    that the program exits with 0."""
    if shutil.which("g++") is None:
        pytest.skip("g++ is not on PATH")
    exe = tmp_path / name
    build = subprocess.run(
        ["g++", "-std=c++20", "-O2", "-ffp-contract=off", "-Isrc", f"tests/cpp/{name}.cpp",
         *sources, "-o", str(exe)],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, f"compile failed:\n{build.stdout}{build.stderr}"
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"exit {run.returncode}:\n{run.stdout}{run.stderr}"
