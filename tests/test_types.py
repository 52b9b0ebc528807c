"""Type information: the stub against the running module (stubtest, and the dicts it returns
against the stub's TypedDicts), mypy finding the installed stub from another folder, and
`mypy --strict` over the companion package and the examples."""

import ast
import os
import subprocess
import sys
import typing

import pytest

import builders
import tiltgram
from builders import contiguous_blocks, header, pack_time

pytest.importorskip("mypy")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_STUB = os.path.join(ROOT, "src", "module", "tiltgram.pyi")
SITE = os.path.dirname(tiltgram.__file__)
INSTALLED_STUBS = [os.path.join(SITE, "tiltgram.pyi"),
                   os.path.join(SITE, "tiltgram-stubs", "__init__.pyi")]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("mypy-cache"))


def run_mypy(args, cwd, cache):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", cache, *args],
                          cwd=cwd, capture_output=True, text=True)


def test_installed_stubs_are_the_source():
    source = open(SOURCE_STUB).read()
    for path in INSTALLED_STUBS:
        assert open(path).read() == source, path


def test_stubtest_without_allowlist(tmp_path, mypy_cache):
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tiltgram",
                          "--mypy-config-file", os.devnull],
                         cwd=tmp_path, capture_output=True, text=True,
                         env=os.environ | {"MYPY_CACHE_DIR": mypy_cache})
    assert run.returncode == 0, run.stdout + run.stderr


def test_project_is_strictly_typed(mypy_cache):
    run = run_mypy([], ROOT, mypy_cache)  # files and strictness from pyproject.toml
    assert run.returncode == 0, run.stdout + run.stderr


USER_CODE = '''
import datetime as dt
from typing import assert_type

import pandas as pd
import tiltgram

meta = tiltgram.read_metadata("rec.cwa")
assert_type(meta["device_id"], int)
assert_type(meta["start_from_data_raw"], str | None)
assert_type(meta["gyro_range"], int | None)
report = tiltgram.sampling_consistency_report("rec.cwa")
assert_type(report["samplingrate_hz_from_data"], float | None)
cut = tiltgram.seconds(0, 60)
assert_type(cut["start"], float | None)
assert_type(tiltgram.blocks(end=10)["end"], int | None)
frame = tiltgram.read_cwa_file("rec.cwa", cut, resample_hz=30,
                               fixed_utc_offset_timezone=dt.timezone.utc)
assert_type(frame, pd.DataFrame)
assert_type(tiltgram.write_cwa_csv("rec.cwa", "out.csv", tiltgram.blocks(0, 4)), None)
'''

WRONG_CODE = '''
import datetime as dt
import tiltgram

tiltgram.read_cwa_file("rec.cwa", None, True, True, True, True, None, "cubic", dt.timezone.utc)
tiltgram.read_metadata("rec.cwa")["no_such_key"]
tiltgram.write_cwa_csv("rec.cwa")
tiltgram.read_cwa_file("rec.cwa", cut={"type": "minutes", "start": 1.0, "end": None})
'''


def test_mypy_finds_the_installed_stub(tmp_path, mypy_cache):
    (tmp_path / "user.py").write_text(USER_CODE)
    run = run_mypy(["--strict", "user.py"], tmp_path, mypy_cache)
    assert run.returncode == 0, run.stdout + run.stderr

    (tmp_path / "wrong.py").write_text(WRONG_CODE)
    run = run_mypy(["--strict", "wrong.py"], tmp_path, mypy_cache)
    errors = [line for line in run.stdout.splitlines() if ": error: " in line]
    assert [int(line.split(":")[1]) for line in errors] == [5, 6, 7, 8], run.stdout


COMPANION_CODE = '''
import datetime as dt
import pathlib

import tiltgram
from tiltgram_tools import ReadOptions, convert_many

options: ReadOptions = {"resample_hz": 30, "include_light": False}
convert_many([pathlib.Path("study")], "out", jobs=2, **options)
convert_many(["study"], pathlib.Path("out"), cut=tiltgram.seconds(0, 60),
             fixed_utc_offset_timezone=dt.timezone.utc)
convert_many(["study"], "out", resample_hz="30")
convert_many(["study"], "out", include_lihgt=False)
convert_many(["study"], "out", cut={"type": "minutes", "start": 1.0, "end": None})
'''


def test_mypy_checks_the_read_options_of_convert_many(tmp_path, mypy_cache):
    (tmp_path / "user.py").write_text(COMPANION_CODE)
    run = run_mypy(["--strict", "user.py"], tmp_path, mypy_cache)
    errors = [line for line in run.stdout.splitlines() if ": error: " in line]
    assert [int(line.split(":")[1]) for line in errors] == [12, 13, 14], run.stdout


def stub_declarations():
    """The installed stub's TypedDicts as {name: {key: type}}, keys in order, and its __all__."""
    tree = ast.parse(open(INSTALLED_STUBS[1]).read())
    names = {"Literal": typing.Literal}
    classes, exported = {}, None
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {item.target.id: eval(ast.unparse(item.annotation), names)
                                  for item in node.body if isinstance(item, ast.AnnAssign)}
        elif isinstance(node, ast.Assign) and ast.unparse(node.targets[0]) == "__all__":
            exported = ast.literal_eval(node.value)
    return classes, exported


def conforms(value, annotation):
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin is typing.Literal:
        return value in args
    if args:  # a union
        return any(conforms(value, a) for a in args)
    if annotation is type(None):
        return value is None
    return type(value) is annotation  # exact: a bool is not an int here, an int not a float


def assert_matches(value, hints):
    assert list(value) == list(hints)
    for key, annotation in hints.items():
        assert conforms(value[key], annotation), (key, value[key], annotation)


def test_reports_and_cuts_match_the_stub(cwa):
    stub, exported = stub_declarations()
    recordings = [
        cwa(contiguous_blocks(3)),
        cwa(),  # no data: the data times are None
        cwa(logging_start=0, logging_end=0xFFFFFFFF, last_change=0),  # unset header times
        cwa(contiguous_blocks(2, format=0x92, rate_code=0x47, start=pack_time(2023, 1, 1)),
            hardware_type=builders.HW_AX6, sensor_config=0xA3),
    ]
    for path in recordings:
        assert_matches(tiltgram.read_metadata(path), stub["Metadata"])
        assert_matches(tiltgram.sampling_consistency_report(path), stub["SamplingConsistencyReport"])
    assert {type(tiltgram.read_metadata(p)["gyro_range"]) for p in recordings} == {int, type(None)}
    for cut in (tiltgram.seconds(), tiltgram.seconds(1, 2.5)):
        assert_matches(cut, stub["SecondsCut"])
    for cut in (tiltgram.blocks(), tiltgram.blocks(1, 3)):
        assert_matches(cut, stub["BlocksCut"])
    assert exported == tiltgram.__all__
