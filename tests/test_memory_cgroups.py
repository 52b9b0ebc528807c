"""Memory cgroups: a read whose result does not fit raises MemoryError, never a kill.

Made by the test where it runs as root (CI does), in each memory hierarchy the machine has
(cgroup v2, and v1 where it is mounted); skipped elsewhere. A child process moves itself
into a new group after its imports, so the group's limit bounds what the reads take. Every
route that builds a frame (whole, blocks cut, seconds cut, resampled) on a 1-day recording
(8.6 million rows, 276 MB), its gzip copy, and both again with a first packet of one
sample: refused in a group too small, each refusal stating the rows and bytes a row it
estimated, the child alive; read in full in a group that fits, the gzip copy giving the
same frames as the file.
"""

from __future__ import annotations

import datetime as dt
import gzip
import itertools
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from builders import pack_time, packet

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent / "bench"
MB = 1000 * 1000


def hierarchies():
    """(version, directory under which this process may make memory groups) for each
    memory hierarchy mounted; empty unless root."""
    if os.geteuid() != 0 or not os.path.exists("/proc/self/mountinfo"):
        return []
    own = {}
    for line in open("/proc/self/cgroup").read().splitlines():
        number, controllers, path = line.split(":", 2)
        if number == "0" and controllers == "":
            own["v2"] = path
        if "memory" in controllers.split(","):
            own["v1"] = path
    found = {}
    for line in open("/proc/self/mountinfo").read().splitlines():
        left, _, right = line.partition(" - ")
        fields, after = left.split(), right.split()
        root, mount, kind = fields[3], fields[4], after[0]
        if kind == "cgroup2" and "v2" in own and "v2" not in found:
            # Groups at the root: the only group where a controller may be enabled for
            # children while processes live in it.
            try:
                if "memory" not in Path(mount, "cgroup.controllers").read_text().split():
                    continue
                control = Path(mount, "cgroup.subtree_control")
                if "memory" not in control.read_text().split():
                    control.write_text("+memory")
            except OSError:
                continue
            found["v2"] = mount
        elif kind == "cgroup" and "memory" in after[2].split(",") and "v1" in own and "v1" not in found:
            path = own["v1"]
            if root != "/":
                if not path.startswith(root):
                    continue
                path = path[len(root):]
            found["v1"] = mount + path
    return sorted(found.items())


HIERARCHIES = hierarchies()
counter = itertools.count()


def make_group(version, parent, limit):
    group = Path(parent, f"tiltgram-test-{os.getpid()}-{next(counter)}")
    group.mkdir()
    files = (["memory.max", "memory.swap.max"] if version == "v2"
             else ["memory.limit_in_bytes", "memory.memsw.limit_in_bytes"])
    Path(group, files[0]).write_text(str(limit))
    if Path(group, files[1]).exists():
        Path(group, files[1]).write_text("0" if version == "v2" else str(limit))
    return group


@pytest.fixture(scope="module")
def one_day(tmp_path_factory):
    """The recording, its gzip copy, and both with a one-sample packet before the first."""
    sys.path.insert(0, str(BENCH))
    try:
        import synth
    finally:
        sys.path.remove(str(BENCH))
    start = dt.datetime(2023, 1, 5, 10)
    data = synth.recording(1.0, start=start)
    first = packet(timestamp=pack_time(2023, 1, 5, 9, 59, 59), sample_count=1, samples=[(0, 0, 64)],
                   temperature=330, battery=200)
    directory = tmp_path_factory.mktemp("one-day")
    paths = {}
    for name, content in (("full", data), ("small-first", data[:1024] + first + data[1024:])):
        paths[name] = str(directory / f"{name}.cwa")
        Path(paths[name]).write_bytes(content)
        paths[name + "-gz"] = paths[name] + ".gz"
        Path(paths[name + "-gz"]).write_bytes(gzip.compress(content, compresslevel=1))
    return paths


ROUTES = {
    "whole": {},
    "blocks": {"cut": ["blocks", 1000, 61000]},
    "seconds": {"cut": ["seconds", 3600, 20 * 3600]},
    "resampled": {"resample_hz": 100},
}

CHILD = textwrap.dedent(r"""
    import hashlib, json, os, sys
    import tiltgram
    group, paths, routes = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3])

    def call(path, kwargs):
        kwargs = dict(kwargs)
        if "cut" in kwargs:
            kind, start, end = kwargs["cut"]
            kwargs["cut"] = getattr(tiltgram, kind)(start, end)
        return tiltgram.read_cwa_file(path, **kwargs)

    def digest(df):
        h = hashlib.sha256(df.index.asi8.data)
        for c in df.columns:
            h.update(c.encode())
            h.update(df[c].to_numpy().data)
        return [len(df), h.hexdigest()]

    call(paths["full"], {"cut": ["blocks", 0, 10]})  # imports done before the move
    with open(os.path.join(group, "cgroup.procs"), "w") as fh:
        fh.write(str(os.getpid()))
    results = {}
    for name, path in paths.items():
        for route, kwargs in routes.items():
            try:
                df = call(path, kwargs)
                results[f"{name} {route}"] = digest(df)
                del df
            except MemoryError as e:
                results[f"{name} {route}"] = "MemoryError: " + str(e)
    print(json.dumps(results))
""")


def run_in_group(version, parent, limit, paths):
    group = make_group(version, parent, limit)
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, str(group), json.dumps(paths), json.dumps(ROUTES)],
                              capture_output=True, text=True, timeout=600,
                              env=dict(os.environ, PYTHONPATH=str(HERE)))
    finally:
        group.rmdir()
    # A kill by the kernel's OOM killer is exit status -9.
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stderr[-2000:]}"
    return json.loads(proc.stdout)


# Rows each route's estimate states: whole and gzip by full blocks of 120 samples (the
# planned 72,000, the first packet's one sample besides), the blocks cut's 60,000 blocks;
# the resampled grid from the first sample to the last block's end at 100 Hz.
REFUSED = {
    "whole": ({"full": 8_640_000, "small-first": 8_640_001},
              {"full": "72,000 blocks of samples", "small-first": "72,001 blocks of samples"}),
    "blocks": ({"full": 7_200_000, "small-first": 7_200_000}, "60,000 blocks of samples"),
    # The plan: the 19 hours' 57,000 blocks and one beyond each bound (seconds count from
    # the first sample, a second earlier with the one-sample packet: a block more).
    "seconds": ({"full": 6_840_240, "small-first": 6_840_360},
                {"full": "57,002 blocks of samples", "small-first": "57,003 blocks of samples"}),
    "resampled": ({"full": 8_640_001, "small-first": 8_640_101}, "a 100 Hz grid"),
}


@pytest.mark.skipif(not HIERARCHIES, reason="needs root and a memory cgroup hierarchy")
@pytest.mark.parametrize("version, parent", HIERARCHIES, ids=[v for v, _ in HIERARCHIES])
def test_a_group_too_small_refuses_every_route_saying_what(one_day, version, parent):
    results = run_in_group(version, parent, 150 * MB, one_day)
    pattern = re.compile(r"^MemoryError: cannot allocate ([0-9.]+) MB \(([0-9,]+) rows of 32 bytes\) "
                         r"for (.+): ([0-9.]+) MB available$")
    for key, text in results.items():
        name, route = key.split()
        m = pattern.match(text)
        assert m, f"{key}: {text}"
        megabytes, rows, what, available = m.groups()
        rows = int(rows.replace(",", ""))
        assert megabytes == f"{rows * 32 / MB:.1f}", key
        assert float(available) < 150
        expected, described = REFUSED[route]
        want = expected[name.removesuffix("-gz")]
        if route == "resampled" and name.endswith("-gz"):
            # A stream's blocks are not read aside: each block left is taken as full, at
            # the first block's sample period (stamped to the microsecond), to the stated
            # end: gaps (the second after the one-sample packet) are not foreseen.
            assert abs(rows - want) <= 200, key
        else:
            assert rows == want, key
        assert what == (described[name.removesuffix("-gz")] if isinstance(described, dict) else described), key


@pytest.mark.skipif(not HIERARCHIES, reason="needs root and a memory cgroup hierarchy")
@pytest.mark.parametrize("version, parent", HIERARCHIES, ids=[v for v, _ in HIERARCHIES])
def test_a_group_that_fits_reads_every_route_in_full(one_day, version, parent):
    # The largest result (276.5 MB), the reserve the guard keeps (96 MiB and 1/32 of it),
    # and 80 MB for the interpreter's own growth.
    results = run_in_group(version, parent, int(276.5 * MB + (96 << 20) + 8.7 * MB + 80 * MB), one_day)
    for key, value in results.items():
        assert isinstance(value, list), f"{key}: {value}"
        name, route = key.split()
        if name.endswith("-gz"):
            assert value == results[f"{name.removesuffix('-gz')} {route}"], key
    assert results["full whole"][0] == 8_640_000
    assert results["small-first whole"][0] == 8_640_001
    assert results["full blocks"][0] == 7_200_000
    # The grid to the last sample: a row less than the estimate to the last block's end.
    assert results["full resampled"][0] == 8_640_000
    assert results["small-first resampled"][0] == 8_640_100
