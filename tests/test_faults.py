"""Failures from below: writes of the CSV output that fail part way (tests/fault_shim.c),
memory exhausted under RLIMIT_AS, and many threads at once. Each failure gives its documented
error, leaves no descriptor open and no memory behind, and the CSV output holds exactly what
the writer's rules say."""

import errno
import gzip
import json
import os
import subprocess
import sys
import textwrap
import threading
import zlib

import numpy as np
import pytest

import builders
import tiltgram
from builders import contiguous_blocks, packet
from faults import faulty  # noqa: F401 - a fixture
from routes import READ_ROUTES, ROUTES, call

ENOSPC = f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})"
EIO = f"{os.strerror(errno.EIO)} (os error {errno.EIO})"
FIRST_WRITE = 16 * 2**20  # the file buffer's first write (after 16 MiB + 8 KiB + 1 bytes)
CSV_ROUTES = [r for r in READ_ROUTES if r.startswith("csv")]
STREAMED_ROUTES = ["csv-streamed", "csv-streamed-blocks"]
ALL_READINGS = dict(include_temperature=True, include_light=True, include_battery=True)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A 9-axis recording whose CSV with every reading is about 20 MiB on every CSV route
    (the resampled one at the recording's own rate), and those CSV texts."""
    rng = np.random.default_rng(14)
    blocks = contiguous_blocks(5200, format=0x92, rate_code=0x4A, seed=1)
    sectors = [packet(timestamp=b.timestamp, timestamp_offset=b.timestamp_offset, format=0x92,
                      rate_code=0x4A, temperature=k % 1024, battery=k % 256,
                      samples=rng.integers(-32768, 32768, size=26 * 9, dtype="<i2").tobytes())
               for k, b in enumerate(blocks)]
    d = tmp_path_factory.mktemp("big")
    path = builders.write(d / "big.cwa", builders.recording(builders.header(), sectors))
    texts = {}
    for route in CSV_ROUTES:
        out = d / f"{route}.csv"
        call(route, path, str(out), **csv_kwargs(route))
        texts[route] = out.read_bytes()
        assert FIRST_WRITE + 2**20 < len(texts[route]) < 2 * FIRST_WRITE, route
    return path, texts


def csv_kwargs(route):
    return {**ALL_READINGS, **({"resample_hz": 100.0} if "resampled" in route else {})}


@pytest.mark.parametrize("route", CSV_ROUTES)
@pytest.mark.parametrize("offset, errnum, text", [
    # Nothing reaches the file before the final flush of a small output: the Io error.
    (0, errno.ENOSPC, f"IO error: {ENOSPC}"),
    (100, errno.EIO, f"IO error: {EIO}"),
], ids=["enospc-at-0", "eio-at-100"])
def test_write_fault_in_a_small_output(faulty, cwa, tmp_path, route, offset, errnum, text):  # noqa: F811
    path = cwa(contiguous_blocks(3, format=0x62))
    out = tmp_path / "out.csv"
    whole = tmp_path / "whole.csv"
    call(route, path, str(whole), **csv_kwargs(route))
    answer = faulty.call(route, path, out, write=(offset, errnum, 0), **csv_kwargs(route))
    assert answer["outcome"] == ["RuntimeError", text]
    assert answer["hits"] >= 1 and answer["fds_left"] == []
    # The file holds the output up to the failing byte.
    assert out.read_bytes() == whole.read_bytes()[:offset]


@pytest.mark.parametrize("route", CSV_ROUTES)
@pytest.mark.parametrize("offset, errnum, text", [
    # A write of the 16 MiB buffer fails: the writer's text, without the "IO error: " prefix.
    (1000, errno.EIO, EIO),
    (FIRST_WRITE - 1, errno.ENOSPC, ENOSPC),
    # The first 16 MiB are written; the final flush fails: the Io error.
    (FIRST_WRITE + 4096, errno.ENOSPC, f"IO error: {ENOSPC}"),
], ids=["eio-in-first-write", "enospc-at-end-of-first-write", "enospc-in-final-flush"])
def test_write_fault_in_a_large_output(faulty, big, tmp_path, route, offset, errnum, text):  # noqa: F811
    path, texts = big
    out = tmp_path / "out.csv"
    answer = faulty.call(route, path, out, write=(offset, errnum, 0), **csv_kwargs(route))
    assert answer["outcome"] == ["RuntimeError", text]
    assert answer["hits"] >= 1 and answer["fds_left"] == []
    assert out.read_bytes() == texts[route][:offset]


def test_read_fault_while_streaming_leaves_the_lines_of_the_blocks_before(faulty, cwa, tmp_path):  # noqa: F811
    # The streamed route reads the blocks twice (channel scan, then lines); the second read
    # of block 2 fails. The CSV then ends after the last line of block 1.
    blocks = contiguous_blocks(4)
    path = cwa(blocks)
    out = tmp_path / "out.csv"
    whole = tmp_path / "whole.csv"
    tiltgram.write_cwa_csv(path, str(whole))
    answer = faulty.call("csv-streamed", path, out, read=(1024 + 2 * 512, errno.EIO, 1))
    assert answer["outcome"] == ["RuntimeError", f"IO error: {EIO}"]
    assert answer["hits"] == 1 and answer["fds_left"] == []
    lines = whole.read_text().splitlines(keepends=True)
    assert out.read_text() == "".join(lines[:1 + 2 * 120])


@pytest.mark.parametrize("route", STREAMED_ROUTES)
def test_read_faults_in_gzip_input_while_streaming(faulty, write_file, tmp_path, route):  # noqa: F811
    # A fault in the channel scan leaves an existing output untouched; one in the second
    # pass leaves the header and the lines of whole blocks, no more than were decompressed
    # before the fault.
    data = builders.recording(builders.header(), contiguous_blocks(40))
    compressed = gzip.compress(data, mtime=0)
    path = write_file(compressed)
    out = tmp_path / "out.csv"
    whole = tmp_path / "whole.csv"
    call(route, path, str(whole))
    lines = whole.read_text().splitlines(keepends=True)
    at = len(compressed) // 2
    before = (len(zlib.decompressobj(31).decompress(compressed[:at])) - 1024) // 512
    out.write_text("keep")
    answer = faulty.call(route, path, out, read=(at, errno.EIO, 0))
    assert answer["outcome"] == ["RuntimeError", f"IO error: {EIO}"] and answer["fds_left"] == []
    assert out.read_text() == "keep"
    answer = faulty.call(route, path, out, read=(at, errno.EIO, 1))
    assert answer["outcome"] == ["RuntimeError", f"IO error: {EIO}"] and answer["fds_left"] == []
    written = out.read_text()
    blocks, rest = divmod(written.count("\n") - 1, 120)
    assert rest == 0 and 0 <= blocks <= before < 40 and written == "".join(lines[:1 + 120 * blocks])


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("route", [r for r in CSV_ROUTES if r not in STREAMED_ROUTES])
def test_read_fault_on_a_collecting_route_leaves_the_output_untouched(faulty, write_file, tmp_path,  # noqa: F811
                                                                      route, compressed):
    data = builders.recording(builders.header(), contiguous_blocks(4))
    offset = 1024 + 3 * 512
    if compressed:
        data, offset = gzip.compress(data, mtime=0), len(gzip.compress(data, mtime=0)) * 3 // 4
    out = tmp_path / "out.csv"
    out.write_text("keep")
    answer = faulty.call(route, write_file(data), out, read=(offset, errno.EIO, 0))
    assert answer["outcome"] == ["RuntimeError", f"IO error: {EIO}"]
    assert out.read_text() == "keep"


@pytest.mark.parametrize("route, fault", [
    pytest.param(route, fault, id=f"{fault}-{route}")
    for fault in ("read-eio", "read-end", "write-enospc", "gzip-read-eio", "gzip-read-end")
    for route in (CSV_ROUTES if fault.startswith("write") else ROUTES)])
def test_failing_calls_keep_memory_flat(faulty, write_file, tmp_path, route, fault):  # noqa: F811
    data = builders.recording(builders.header(), contiguous_blocks(200, format=0x92))
    at = 1024 + 100 * 512
    if fault.startswith("gzip"):
        data = gzip.compress(data, mtime=0)
        at = len(data) // 2
    fault_args = {"read-eio": {"read": (at, errno.EIO, 0)}, "gzip-read-eio": {"read": (at, errno.EIO, 0)},
                  "read-end": {"read": (at, 0, 0)}, "gzip-read-end": {"read": (at, 0, 0)},
                  "write-enospc": {"write": (0, errno.ENOSPC, 0)}}[fault]
    answer = faulty.call(route, write_file(data), tmp_path / "out.csv", repeat=60, **fault_args)
    if not (fault == "read-end" and route in ("metadata", "report")):  # a clean end for the scan
        assert answer["outcome"][0] == "RuntimeError"
    assert answer["fds_left"] == []
    assert answer["grown"] < 4 * 2**20   # lost columns: 0.3 MB a call; a lost CSV buffer: 0.8 MB


# --- memory exhausted ------------------------------------------------------------------------

RLIMIT_SCRIPT = textwrap.dedent("""
    import ctypes, json, resource, sys
    sys.path.insert(0, sys.argv[4])
    import routes

    # A fixed mmap threshold: the C library then hands large blocks back to the system when
    # they are freed, rather than keeping them for the next call, whose needs would then
    # fit in the address space it already has.
    libc = ctypes.CDLL(None)
    libc.mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD

    small, path, out = sys.argv[1], sys.argv[2], sys.argv[3]

    def vm_size():
        with open("/proc/self/status") as fh:
            return 1024 * int(next(l for l in fh if l.startswith("VmSize:")).split()[1])

    def attempt(route, path):
        try:
            routes.call(route, path, out, **json.loads(sys.argv[5]).get(route, {}))
            return "ok"
        except MemoryError:
            return "MemoryError"
        except Exception as exc:
            return f"{type(exc).__name__}: {exc}"

    results = {}
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    for route in routes.ROUTES:
        attempt(route, small)  # imports what the route needs
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (256 << 10), hard))
        limited = attempt(route, path)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        results[route] = [limited, attempt(route, path)]
    print(json.dumps(results))
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer maps its own memory and aborts when the limit refuses it")
def test_memory_exhaustion_is_memory_error_on_every_route_and_the_process_recovers(cwa, tmp_path):
    # 8000 9-axis blocks: 208,000 rows, columns of 0.8 MB each, a CSV writer buffer of 16 MiB,
    # sector buffers of 1 MiB: every route needs more than the 256 KiB of address space left.
    small = cwa(contiguous_blocks(2, format=0x92))
    path = cwa(contiguous_blocks(8000, format=0x92))
    extra = {r: {"resample_hz": 100.0} for r in ROUTES if "resampled" in r}
    run = subprocess.run([sys.executable, "-c", RLIMIT_SCRIPT, small, path, str(tmp_path / "out.csv"),
                          os.path.dirname(__file__), json.dumps(extra)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == {route: ["MemoryError", "ok"] for route in ROUTES}


# --- threads ---------------------------------------------------------------------------------

def outcome_bytes(route, path, out):
    """What a call gives, as comparable bytes: the frame's index and columns, the dict, or
    the CSV text."""
    result = call(route, path, out, **({"resample_hz": 25.0} if "resampled" in route else {}))
    if route.startswith("csv"):
        with open(out, "rb") as fh:
            return fh.read()
    if isinstance(result, dict):
        return repr(result).encode()
    return b"".join([result.index.asi8.tobytes(), repr(list(result.columns)).encode()]
                    + [result[c].values.tobytes() for c in result.columns])


def test_eight_threads_calling_every_function_match_serial_calls(tmp_path):
    paths = [builders.write(tmp_path / f"r{k}.cwa", builders.recording(
        builders.header(), contiguous_blocks(60 + k, format=[0x30, 0x32, 0x62, 0x92][k % 4], seed=k)))
        for k in range(8)]
    serial = {(k, r): outcome_bytes(r, p, str(tmp_path / f"s{k}-{r}.csv"))
              for k, p in enumerate(paths) for r in ROUTES}
    results, errors = {}, []
    barrier = threading.Barrier(8)

    def work(k):
        try:
            barrier.wait()
            for _ in range(3):
                for r in ROUTES:
                    results[(k, r)] = outcome_bytes(r, paths[k], str(tmp_path / f"t{k}-{r}.csv"))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert results == serial
