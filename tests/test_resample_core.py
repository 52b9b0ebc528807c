"""Builds and runs the C++ check of the streaming resampler against a whole-list oracle."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def test_streaming_resampler_matches_whole_list_oracle(tmp_path):
    if shutil.which("g++") is None:
        pytest.skip("g++ is not on PATH")
    exe = tmp_path / "test_resample"
    build = subprocess.run(
        ["g++", "-std=c++20", "-O2", "-ffp-contract=off", "-Isrc",
         "tests/cpp/test_resample.cpp", "src/package/resample.cpp",
         "src/package/column.cpp", "src/header/time.cpp", "-o", str(exe)],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, f"compile failed:\n{build.stdout}{build.stderr}"
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"exit {run.returncode}:\n{run.stdout}{run.stderr}"
