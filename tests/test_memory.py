"""Memory: results are refused only when the rows really to be written do not fit.

The available-memory arithmetic (meminfo, cgroup v1 and v2) is checked in C++ on made-up
file contents; here the module runs in child processes with an address-space limit, so
that reserving room for every planned block is impossible while the rows fit, and with
grids that cannot fit any machine.
"""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest

import tiltgram
from builders import contiguous_blocks, pack_time, packet
from cpp_program import run_check

HERE = os.path.dirname(os.path.abspath(__file__))
ZERO_SECTOR = bytes(512)  # not a data packet: planned, read and skipped


def test_available_memory_and_guard_arithmetic():
    run_check("test_memory")


# --- under an address-space limit --------------------------------------------------------

CHILD = textwrap.dedent(r"""
    import json, resource, sys
    sys.path.insert(0, sys.argv[1])
    import tiltgram
    cases = json.loads(sys.argv[2])
    headroom = int(sys.argv[3])

    def vm_size():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    def cut(spec):
        if spec is None:
            return None
        kind, start, end = spec
        return getattr(tiltgram, kind)(start, end)

    def run(case):
        kwargs = dict(case["kwargs"])
        if "cut" in kwargs:
            kwargs["cut"] = cut(kwargs["cut"])
        if case["out"]:
            tiltgram.write_cwa_csv(case["path"], case["out"], **kwargs)
            return "ok"
        return len(tiltgram.read_cwa_file(case["path"], **kwargs))

    run(cases[0])  # everything lazily loaded (pandas) is mapped before the limit
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, resource.RLIM_INFINITY))
    results = []
    for case in cases:
        try:
            results.append(run(case))
        except MemoryError as e:
            results.append("MemoryError: " + str(e))
    print(json.dumps(results))
""")

HEADROOM = 128 << 20


def run_limited(cases):
    proc = subprocess.run([sys.executable, "-c", CHILD, HERE, json.dumps(cases), str(HEADROOM)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture
def limited_recordings(cwa):
    # 10 data blocks among 60,000 planned sectors: room for every planned block would take
    # 230 MB, beyond the limit; the rows take 38 kB.
    sparse = cwa(contiguous_blocks(10) + [ZERO_SECTOR] * 60_000)
    # 60,000 full blocks: 7.2 million rows, 230 MB with every column, 144 MB without the
    # readings.
    dense = cwa([packet(timestamp=pack_time(2021, 3, 1))] * 60_000)
    # Two blocks an hour apart: a 10 kHz grid of 36 million rows, 720 MB.
    gap = cwa([packet(timestamp=pack_time(2021, 3, 1)), packet(timestamp=pack_time(2021, 3, 1, 1)),
               ZERO_SECTOR])
    return sparse, dense, gap


ROUTES = {  # name: (keyword arguments, writes CSV)
    "plain": ({}, False),
    "blocks": ({"cut": ["blocks", 0, 59_000]}, False),
    "seconds": ({"cut": ["seconds", 0, 100]}, False),
    "resampled": ({"resample_hz": 100}, False),
    "resampled-flags-off": ({"resample_hz": 83, "include_light": False, "include_battery": False,
                             "include_temperature": False}, False),
    "csv-streamed": ({}, True),
    "csv-collected": ({"cut": ["seconds", 0, 100]}, True),
    "csv-resampled": ({"resample_hz": 100}, True),
}


def test_results_that_fit_read_on_every_route_when_reserving_is_impossible(limited_recordings, tmp_path):
    sparse, _, _ = limited_recordings
    cases = [{"path": sparse, "kwargs": kwargs, "out": str(tmp_path / f"{name}.csv") if csv else None}
             for name, (kwargs, csv) in ROUTES.items()]
    results = dict(zip(ROUTES, run_limited(cases)))
    unlimited = {name: "ok" if csv else len(tiltgram.read_cwa_file(
        sparse, **{k: getattr(tiltgram, v[0])(*v[1:]) if k == "cut" else v for k, v in kwargs.items()}))
        for name, (kwargs, csv) in ROUTES.items()}
    assert results == unlimited
    assert unlimited["plain"] == 1200 and unlimited["resampled"] > 1100
    assert len(open(tmp_path / "csv-resampled.csv").readlines()) == 1 + unlimited["resampled"]


def test_results_that_do_not_fit_raise_memory_error_saying_what(limited_recordings, tmp_path):
    sparse, dense, gap = limited_recordings
    out = tmp_path / "kept.csv"
    out.write_text("keep")
    cases = [{"path": sparse, "kwargs": {}, "out": None},
             {"path": dense, "kwargs": {}, "out": None},
             {"path": dense, "kwargs": {"cut": ["seconds", 0, 1]}, "out": None},
             {"path": dense, "kwargs": {"cut": ["seconds", 0, 1]}, "out": str(out)},
             {"path": gap, "kwargs": {"resample_hz": 10000, "include_light": False,
                                      "include_battery": False, "include_temperature": False},
              "out": str(out)}]
    first, plain, seconds, collected, resampled = run_limited(cases)
    assert first == 1200
    limit = r"the address space is limited to [0-9.]+ [GMk]B \(RLIMIT_AS\)$"
    # 60,000 blocks of 120 samples; times and six float columns, or three without readings.
    for text, size, row in ((plain, "230.4 MB", 32), (seconds, "230.4 MB", 32), (collected, "144.0 MB", 20)):
        assert text.startswith(f"MemoryError: cannot allocate {size} (7,200,000 rows of {row} bytes) "
                               "for 60,000 blocks of samples: "), text
        assert re.search(limit, text), text
    # From the first sample to the last block's end (an hour and its 120 samples at 100 Hz)
    # at 10 kHz, and the first grid time: times and three floats a row.
    assert resampled.startswith("MemoryError: cannot allocate 720.2 MB (36,012,001 rows of 20 bytes) "
                                "for a 10000 Hz grid: the address space is limited to "), resampled
    assert out.read_text() == "keep"


def test_a_sparse_plan_beyond_memory_is_counted_not_refused(cwa):
    """Ten data blocks, then ten million planned sectors that hold none (a hole in the file,
    read as zeros): blocks like the first throughout would take 38 GB, so the read counts
    the planned packets and finds 1,200 rows."""
    path = cwa(contiguous_blocks(10))
    with open(path, "r+b") as fh:
        fh.truncate(os.path.getsize(path) + 10_000_000 * 512)
    assert len(tiltgram.read_cwa_file(path)) == 1200


# --- grids no machine holds --------------------------------------------------------------

@pytest.mark.parametrize("tail", [[], [ZERO_SECTOR]], ids=["span-known", "span-unknown"])
def test_grids_beyond_any_memory_are_refused_before_filling(cwa, tmp_path, tail):
    path = cwa([packet(timestamp=pack_time(2020, 1, 1)), packet(timestamp=pack_time(2023, 1, 1))] + tail)
    out = tmp_path / "out.csv"
    out.write_text("keep")
    # Times and six floats a row for the frame (the readings), three for the CSV (none).
    pattern = (r"^cannot allocate ([0-9.]+) GB \(([0-9,]+) rows of (32|20) bytes\) for a 10000 Hz grid: "
               r"[0-9.]+ [GMk]B available$")
    with pytest.raises(MemoryError, match=pattern) as exc:
        tiltgram.read_cwa_file(path, resample_hz=10000)
    gigabytes, rows, row_bytes = re.match(pattern, str(exc.value)).groups()
    assert row_bytes == "32"
    rows = int(rows.replace(",", ""))
    # Three years and a day (2020 is a leap year), a block of 120 samples and the last time.
    assert rows == (3 * 365 + 1) * 86400 * 10000 + 12000 + 1
    assert gigabytes == f"{rows * 32 / 1e9:.1f}"
    with pytest.raises(MemoryError, match=pattern) as exc:
        tiltgram.write_cwa_csv(path, str(out), resample_hz=10000)
    assert re.match(pattern, str(exc.value)).groups() == (f"{rows * 20 / 1e9:.1f}", f"{rows:,}", "20")
    assert out.read_text() == "keep"
    assert len(tiltgram.read_cwa_file(path, resample_hz=0.001)) > 90_000


# --- Ctrl-C while a call waits ------------------------------------------------------------

INTERRUPTED_CHILD = textwrap.dedent(r"""
    import signal, sys
    sys.path.insert(0, sys.argv[1])
    import tiltgram
    call, path, out = sys.argv[2:5]
    print("ready", flush=True)
    try:
        if call == "read":
            tiltgram.read_cwa_file(path)
        elif call == "metadata":
            tiltgram.read_metadata(path)
        else:
            tiltgram.write_cwa_csv(path, out)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print("KeyboardInterrupt", flush=True)
""")


@pytest.mark.parametrize("call, blocked_on", [
    ("read", "input"), ("metadata", "input"), ("write", "input"), ("write", "output"),
])
def test_ctrl_c_stops_a_call_blocked_on_a_fifo(cwa, tmp_path, call, blocked_on):
    """Opening a FIFO that has no process at its other end blocks until a signal comes."""
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    path, out = (fifo, str(tmp_path / "out.csv")) if blocked_on == "input" else (cwa(contiguous_blocks(2)), fifo)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CHILD, HERE, call, path, out],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        # Signals until the child ends: the first may come before the call blocks, and an
        # ignored one would leave it blocked for ever.
        for _ in range(100):
            try:
                child.wait(timeout=0.2)
                break
            except subprocess.TimeoutExpired:
                child.send_signal(signal.SIGINT)
        else:
            pytest.fail("the call went on blocking after SIGINT")
        stdout, stderr = child.communicate(timeout=10)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert (stdout, child.returncode) == ("KeyboardInterrupt\n", 0), stderr
    if blocked_on == "input":
        assert not os.path.exists(out)


# --- a full-length recording (slow: TILTGRAM_SLOW=1 pytest tests/test_memory.py -k fourteen) --

FULL_CHILD = textwrap.dedent(r"""
    import json, resource, sys
    sys.path.insert(0, sys.argv[1])
    import tiltgram
    path, headroom = sys.argv[2], int(sys.argv[3])
    tiltgram.read_cwa_file(path, cut=tiltgram.blocks(0, 10))

    def vm_size():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, resource.RLIM_INFINITY))
    routes = {
        "plain": lambda: len(tiltgram.read_cwa_file(path)),
        "blocks": lambda: len(tiltgram.read_cwa_file(path, cut=tiltgram.blocks(1, 1_007_999))),
        "seconds": lambda: len(tiltgram.read_cwa_file(path, cut=tiltgram.seconds(0.5, 14 * 86400))),
        "resampled": lambda: len(tiltgram.read_cwa_file(path, resample_hz=100)),
        "csv-streamed": lambda: tiltgram.write_cwa_csv(path, "/dev/null"),
        "csv-collected": lambda: tiltgram.write_cwa_csv(path, "/dev/null", cut=tiltgram.seconds(0.5)),
        "csv-resampled": lambda: tiltgram.write_cwa_csv(path, "/dev/null", resample_hz=100),
    }
    print(json.dumps({name: route() for name, route in routes.items()}))
""")


@pytest.mark.skipif(os.environ.get("TILTGRAM_SLOW") != "1", reason="slow: set TILTGRAM_SLOW=1")
def test_fourteen_dense_days_read_on_every_route(tmp_path):
    """1,008,000 blocks of 100 Hz 3-axis data (516 MB), a 3.9 GB result: more than a
    thirteenth of what a 24 GB machine has available, read under an address-space limit
    of the result plus 0.6 GB."""
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "bench"))
    import datetime as dt

    import synth
    path = tmp_path / "fourteen-days.cwa"
    start = dt.datetime(2023, 1, 5, 10)
    with open(path, "wb") as fh:  # day by day, to keep the generator's memory small
        for day in range(14):
            data = synth.recording(1.0, start=start + dt.timedelta(days=day), seed=day)
            fh.write(data if day == 0 else data[1024:])
    rows = 14 * 86400 * 100
    proc = subprocess.run([sys.executable, "-c", FULL_CHILD, HERE, str(path), str(rows * 32 + (600 << 20))],
                          capture_output=True, text=True, timeout=1800)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == {
        "plain": rows, "blocks": rows - 240, "seconds": rows - 50, "resampled": rows,
        "csv-streamed": None, "csv-collected": None, "csv-resampled": None}
