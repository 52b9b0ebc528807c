"""The README's examples, run as written in a folder of their own: the shell lines that run
`tiltgram` or the example scripts, and every Python block (a Dask scheduler address is the
one thing replaced, by a local cluster's)."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.dirname(sys.executable)
SCHEDULER = "tcp://scheduler:8786"


def blocks(language: str) -> list[str]:
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    return re.findall(rf"```{language}\n(.*?)```", text, flags=re.S)


def shell_lines() -> list[str]:
    lines = []
    for block in blocks("sh"):
        for line in block.replace("\\\n", " ").splitlines():
            command = line.split("  #")[0].strip()
            if command.startswith(("tiltgram ", ".venv/bin/python examples/", "ls ")):
                lines.append(command)
    return lines


def test_readme_examples_run_as_written(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("matplotlib")
    pytest.importorskip("pyarrow")
    from distributed import LocalCluster

    lines = shell_lines()
    assert lines[0].startswith(".venv/bin/python examples/make_recording.py rec.cwa")
    assert sum(line.startswith("tiltgram ") for line in lines) == 8
    python_blocks = blocks("python")
    assert len(python_blocks) >= 3
    env = os.environ | {"PATH": f"{BIN}:{os.environ['PATH']}"}
    os.symlink(ROOT + "/examples", tmp_path / "examples")
    os.symlink(os.path.dirname(BIN), tmp_path / ".venv")  # the environment running the tests
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster:
        for line in lines:
            line = line.replace(SCHEDULER, cluster.scheduler_address)
            run = subprocess.run(line, shell=True, cwd=tmp_path, env=env, capture_output=True,
                                 text=True, timeout=600)
            assert run.returncode == 0, (line, run.stderr)
        for k, block in enumerate(python_blocks):
            script = tmp_path / f"example{k}.py"
            script.write_text(block.replace(SCHEDULER, cluster.scheduler_address))
            run = subprocess.run([sys.executable, script.name], cwd=tmp_path, env=env,
                                 capture_output=True, text=True, timeout=600)
            assert run.returncode == 0, (block, run.stderr)
    for made in ("rec.csv", "grid.csv", "rec.png", "rec.svg", "info.jsonl", "csv/rec3.csv",
                 "parquet/rec1.parquet", "hour2/rec2.csv", "cluster/rec1.parquet",
                 "frames/rec1.parquet"):
        assert (tmp_path / made).stat().st_size > 0, made
