"""Gzip-compressed recordings are read as their decompressed bytes would be: the same results to
the bit and the same errors, whatever the file is named; corrupt, truncated or trailing gzip data
fails with "Invalid gzip data: ..." instead."""

import filecmp
import gzip
import os
import random
import struct
import subprocess
import sys
import zlib

import numpy as np
import pandas as pd
import pytest

import builders
import tiltgram
from builders import contiguous_blocks, packet
from routes import ROUTES
from routes import outcome as route_outcome
from test_errors import FILE_CASES, SELECTIONS
from test_read import CUT_ERRORS, random_cut, random_recording, random_timezone

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")


def isal_linked() -> bool:
    """Whether the module, as this process loaded it, links ISA-L."""
    with open("/proc/self/maps") as fh:
        return any("libisal" in line for line in fh)


# This process inflates with ISA-L where the build links it, unless TILTGRAM_INFLATE=zlib;
# test_gzip_tests_pass_with_zlib_inflating runs this file again with zlib.
INFLATER = "isal" if isal_linked() and os.environ.get("TILTGRAM_INFLATE") != "zlib" else "zlib"

def compress(data: bytes, rng: random.Random | None = None) -> bytes:
    """One gzip member, or (with rng) several, cut at random places, some of them empty."""
    if rng is None:
        return gzip.compress(data, mtime=0)
    cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.choice([0, 0, 1, 2, 4])))
    parts = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
    return b"".join(gzip.compress(p, compresslevel=rng.choice([1, 6, 9]), mtime=0) for p in parts)


def member(data: bytes, flags: int = 0, extra=b"", name=b"", comment=b"", hcrc_delta=0) -> bytes:
    """One gzip member with the optional header fields that `flags` names (FHCRC 2, FEXTRA 4,
    FNAME 8, FCOMMENT 16); hcrc_delta spoils the header's CRC."""
    head = b"\x1f\x8b\x08" + bytes([flags]) + bytes(4) + b"\x00\x03"
    if flags & 4:
        head += struct.pack("<H", len(extra)) + extra
    if flags & 8:
        head += name + b"\0"
    if flags & 16:
        head += comment + b"\0"
    if flags & 2:
        head += struct.pack("<H", (zlib.crc32(head) + hcrc_delta) & 0xFFFF)
    co = zlib.compressobj(6, zlib.DEFLATED, -15)
    return head + co.compress(data) + co.flush() + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def summary(value):
    """A comparable form of a result: frames by the bits of their index and columns."""
    if isinstance(value, pd.DataFrame):
        return (str(value.index.dtype), value.index.name, value.index.asi8.tobytes(),
                [(c, str(value[c].dtype), value[c].to_numpy().tobytes()) for c in value.columns])
    return value


def outcome(fn, *args, **kwargs):
    try:
        return "ok", summary(fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the outcome is compared whole
        return type(exc).__name__, str(exc)


def csv_outcome(path, out, **kwargs):
    result = outcome(tiltgram.write_cwa_csv, path, out, **kwargs)
    text = open(out, "rb").read() if os.path.exists(out) else None
    return result, text


@pytest.fixture
def pair(tmp_path):
    """pair(data, rng=None) -> (plain path, gzip path). The plain file is named .gz and the
    gzip file .cwa: the content decides, never the name."""
    def make(data: bytes, rng=None):
        plain = builders.write(tmp_path / "plain.cwa.gz", data)
        packed = builders.write(tmp_path / "packed.cwa", compress(data, rng))
        return plain, packed
    return make


def assert_same(plain, packed, fn, *args, **kwargs):
    expected = outcome(fn, plain, *args, **kwargs)
    assert outcome(fn, packed, *args, **kwargs) == expected
    return expected


def assert_same_csv(plain, packed, tmp_path, **kwargs):
    expected = csv_outcome(plain, str(tmp_path / "plain.csv"), **kwargs)
    assert csv_outcome(packed, str(tmp_path / "packed.csv"), **kwargs) == expected
    return expected


# --- the same results and errors as the decompressed file ------------------------------------

@pytest.mark.parametrize("seed", range(40), ids=lambda s: f"seed{s}")
def test_random_recordings_read_alike(tmp_path, pair, seed):
    rng = random.Random(f"gzip{seed}")
    data, duration = random_recording(rng)
    plain, packed = pair(data, rng)
    nblocks = (len(data) - 1024) // 512
    whole = outcome(tiltgram.read_cwa_file, plain)
    times = list(np.frombuffer(whole[1][2], np.int64)) if whole[0] == "ok" else []
    cut = random_cut(rng, nblocks, duration, times)
    flags = [rng.random() < 0.8 for _ in range(4)]
    rate = rng.choice([None, None, 7.5, 100.0])
    tz = random_timezone(rng)
    assert_same(plain, packed, tiltgram.read_cwa_file, cut, *flags, rate,
                fixed_utc_offset_timezone=tz)
    assert_same(plain, packed, tiltgram.read_metadata)
    assert_same(plain, packed, tiltgram.sampling_consistency_report)
    assert_same_csv(plain, packed, tmp_path, cut=cut, include_temperature=flags[1],
                    resample_hz=rng.choice([None, None, 25.0]), fixed_utc_offset_timezone=tz)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("data", [c[1] for c in FILE_CASES], ids=[c[0] for c in FILE_CASES])
def test_recording_errors_alike(tmp_path, pair, data, route):
    plain, packed = pair(data)
    out = str(tmp_path / "out.csv")
    assert route_outcome(route, packed, out) == route_outcome(route, plain, out)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("kwargs", [c[1] for c in SELECTIONS], ids=[c[0] for c in SELECTIONS])
def test_selection_errors_alike(tmp_path, pair, kwargs, route):
    plain, packed = pair(builders.recording(builders.header(), contiguous_blocks(3)))
    out = str(tmp_path / "out.csv")
    assert route_outcome(route, packed, out, **kwargs) == route_outcome(route, plain, out, **kwargs)


@pytest.mark.parametrize("sectors, cut", [e[1:3] for e in CUT_ERRORS], ids=[e[0] for e in CUT_ERRORS])
def test_cut_errors_alike(tmp_path, pair, sectors, cut):
    plain, packed = pair(builders.recording(builders.header(), sectors))
    assert assert_same(plain, packed, tiltgram.read_cwa_file, cut)[0] == "RuntimeError"
    assert_same_csv(plain, packed, tmp_path, cut=cut)


BAD = packet(samples=[(0, 0, 0, 0)], rate_code=0)


@pytest.mark.parametrize("sectors, trailing", [
    (contiguous_blocks(4) + [BAD], b""),               # a bad packet after a blocks cut's end
    ([BAD] + contiguous_blocks(4), b""),               # a bad packet before the start block
    (contiguous_blocks(4), bytes(100)),                # a partial sector after a bad packet...
    ([BAD] + contiguous_blocks(4), bytes(100)),        # ...is found first, as the size says
    (contiguous_blocks(4, format=0x62) + contiguous_blocks(2), b""),  # sensors change mid-way
], ids=["bad-after", "bad-before", "partial", "bad-then-partial", "mixed"])
@pytest.mark.parametrize("cut", [None, tiltgram.blocks(1, 3), tiltgram.blocks(2),
                                 tiltgram.seconds(0.5, 1.5), tiltgram.blocks(9)],
                         ids=["whole", "blocks", "blocks-open", "seconds", "beyond"])
def test_errors_that_depend_on_the_order_of_checks(tmp_path, pair, sectors, trailing, cut):
    plain, packed = pair(builders.recording(builders.header(), sectors, trailing))
    assert_same(plain, packed, tiltgram.read_cwa_file, cut)
    assert_same(plain, packed, tiltgram.read_cwa_file, cut, resample_hz=30.0)
    assert_same(plain, packed, tiltgram.read_metadata)
    assert_same_csv(plain, packed, tmp_path, cut=cut)


def test_members_and_empty_members_are_one_stream(tmp_path, pair):
    data = builders.recording(builders.header(), contiguous_blocks(6))
    plain, _ = pair(data)
    packed = builders.write(tmp_path / "members.gz", b"".join(
        gzip.compress(part, mtime=0) for part in [b"", data[:1000], b"", data[1000:1001], data[1001:], b""]))
    assert_same(plain, packed, tiltgram.read_cwa_file)
    assert_same(plain, packed, tiltgram.read_metadata)
    assert_same_csv(plain, packed, tmp_path)


def test_header_fields_are_read_past(tmp_path, pair):
    data = builders.recording(builders.header(), contiguous_blocks(20))
    plain, _ = pair(data)
    packed = builders.write(tmp_path / "fields.gz", b"".join([
        member(data[:700], 0x1F, extra=bytes(range(256)) * 200, name=b"rec.cwa" * 9000,
               comment=b"a comment " * 500),
        member(data[700:701], 0x02),
        member(b"", 0x08, name=b"empty"),
        member(data[701:5000], 0x04, extra=b""),
        member(data[5000:], 0x10, comment=b""),
    ]))
    assert_same(plain, packed, tiltgram.read_cwa_file)
    assert_same(plain, packed, tiltgram.read_metadata)
    assert_same_csv(plain, packed, tmp_path)


# --- corrupt gzip data ------------------------------------------------------------------------

RECORDING = builders.recording(builders.header(), contiguous_blocks(30))
GZ = compress(RECORDING)


def patched(offset, value):
    blob = bytearray(GZ)
    blob[offset] = value
    return bytes(blob)


def flipped(offset):
    return patched(offset, GZ[offset] ^ 0x01)


ENDS_EARLY = "Invalid gzip data: compressed data ends early"
AFTER_LAST = "Invalid gzip data: unexpected data after the last member"
CORRUPT = [
    ("method", patched(2, 7), "Invalid gzip data: unknown compression method"),
    ("reserved-flags", patched(3, 0xE0), "Invalid gzip data: unknown header flags set"),
    ("block-type", patched(10, 0x07), "Invalid gzip data: invalid block type"),
    ("crc", flipped(len(GZ) - 8), "Invalid gzip data: CRC-32 mismatch"),
    ("length", flipped(len(GZ) - 4), "Invalid gzip data: length mismatch"),
    ("trailing-text", GZ + b"junk", AFTER_LAST),
    ("trailing-zero", GZ + b"\0", AFTER_LAST),
    ("trailing-half-magic", GZ + b"\x1f", AFTER_LAST),
    ("second-member-cut", GZ + GZ[:30], ENDS_EARLY),
    ("magic-only", GZ[:2], ENDS_EARLY),
    ("header-crc", member(RECORDING, 0x02, hcrc_delta=1), "Invalid gzip data: header crc mismatch"),
    ("cut-in-name", member(RECORDING, 0x08, name=b"rec.cwa" * 20)[:60], ENDS_EARLY),
    ("cut-in-extra", member(RECORDING, 0x04, extra=bytes(300))[:200], ENDS_EARLY),
    ("second-member-header-crc", GZ + member(b"", 0x1A, name=b"n", hcrc_delta=7),
     "Invalid gzip data: header crc mismatch"),
] + [(f"cut-at-{n}", GZ[:n], ENDS_EARLY) for n in (5, 10, 11, 200, len(GZ) // 2, len(GZ) - 8, len(GZ) - 1)]
CALLS = {
    "read": lambda p, o: tiltgram.read_cwa_file(p),
    "read-blocks": lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.blocks(0, 1)),
    "read-seconds": lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.seconds(0, 0.1)),
    "resampled": lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.seconds(0, 0.1), resample_hz=5),
    "metadata": lambda p, o: tiltgram.read_metadata(p),
    "report": lambda p, o: tiltgram.sampling_consistency_report(p),
    "csv": lambda p, o: tiltgram.write_cwa_csv(p, o),
    "csv-blocks": lambda p, o: tiltgram.write_cwa_csv(p, o, cut=tiltgram.blocks(0, 1)),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("blob, message", [c[1:] for c in CORRUPT], ids=[c[0] for c in CORRUPT])
def test_corrupt_gzip_data(write_file, tmp_path, blob, message, call):
    out = tmp_path / "out.csv"
    out.write_text("kept")
    with pytest.raises(RuntimeError) as exc:
        call(write_file(blob, "rec.cwa.gz"), str(out))
    assert type(exc.value) is RuntimeError and str(exc.value) == message
    # The streaming route checks the whole stream before it touches the output.
    assert out.read_text() == "kept"


@pytest.mark.parametrize("offset", [12, 40, 300, len(GZ) // 3, len(GZ) // 2, len(GZ) - 20])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_damaged_deflate_data_is_never_read_as_a_recording(write_file, tmp_path, offset, call):
    path = write_file(flipped(offset), "rec.gz")
    with pytest.raises(RuntimeError, match="^Invalid gzip data: "):
        call(path, str(tmp_path / "out.csv"))


def test_gzip_failure_comes_before_what_the_data_says(write_file, tmp_path):
    data = compress(builders.recording(builders.header(), [BAD] + contiguous_blocks(3), bytes(7)))
    path = write_file(data[:-8] + bytes(4) + data[-4:])  # CRC zeroed
    for call in CALLS.values():
        with pytest.raises(RuntimeError, match="^Invalid gzip data: CRC-32 mismatch$"):
            call(path, str(tmp_path / "out.csv"))


# --- the CSV writer's guards ------------------------------------------------------------------

def test_output_naming_the_gzip_input_is_refused(write_file):
    path = write_file(GZ, "rec.cwa.gz")
    for kwargs in [{}, {"cut": tiltgram.seconds(0, 1)}, {"resample_hz": 10}]:
        with pytest.raises(RuntimeError, match="^output_path must not be the input recording$"):
            tiltgram.write_cwa_csv(path, path, **kwargs)
    assert open(path, "rb").read() == GZ


@pytest.mark.parametrize("sectors, trailing", [
    (contiguous_blocks(3), bytes(100)), (contiguous_blocks(3) + [BAD], b"")], ids=["partial", "bad"])
def test_failed_gzip_read_leaves_existing_output_untouched(write_file, tmp_path, sectors, trailing):
    path = write_file(compress(builders.recording(builders.header(), sectors, trailing)), "r.gz")
    out = tmp_path / "out.csv"
    out.write_text("kept")
    with pytest.raises(RuntimeError):
        tiltgram.write_cwa_csv(path, str(out))
    assert out.read_text() == "kept"


# --- memory -----------------------------------------------------------------------------------

MEMORY = r"""
import gzip, sys
sys.path.insert(0, sys.argv[2])
import synth, tiltgram
synth.write(sys.argv[1] + ".cwa", 1.0, 0x30)
with open(sys.argv[1] + ".cwa", "rb") as f, gzip.open(sys.argv[1] + ".gz", "wb", compresslevel=1) as g:
    g.write(f.read())
import os; os.unlink(sys.argv[1] + ".cwa")

def hwm():
    with open("/proc/self/status") as fh:
        return 1024 * int(next(l for l in fh if l.startswith("VmHWM:")).split()[1])

base = hwm()
tiltgram.read_metadata(sys.argv[1] + ".gz")
tiltgram.write_cwa_csv(sys.argv[1] + ".gz", os.devnull)
streamed = hwm() - base
df = tiltgram.read_cwa_file(sys.argv[1] + ".gz")
result = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
print(streamed, hwm() - base - result)
"""


def test_reading_gzip_holds_no_copy_of_the_decompressed_bytes(tmp_path):
    # A one-day recording is 37 MB decompressed: a copy of it would show.
    run = subprocess.run([sys.executable, "-c", MEMORY, str(tmp_path / "day"),
                          os.path.join(os.path.dirname(os.path.dirname(__file__)), "bench")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    streamed, beyond_result = map(int, run.stdout.split())
    assert streamed < 12 << 20
    assert beyond_result < 16 << 20


# --- the inflaters ----------------------------------------------------------------------------

def test_ci_build_links_isal():
    if os.environ.get("CI") == "true":
        assert isal_linked(), "scripts/setup.sh installs libisal-dev: the build must find it"
    elif not isal_linked():
        pytest.skip("this build inflates with zlib alone")


@pytest.mark.skipif(not isal_linked() or "TILTGRAM_INFLATE" in os.environ,
                    reason="no ISA-L, or this is the run with TILTGRAM_INFLATE set")
def test_gzip_tests_pass_with_zlib_inflating():
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", __file__],
                         env=dict(os.environ, TILTGRAM_INFLATE="zlib"), capture_output=True, text=True,
                         cwd=os.path.dirname(os.path.abspath(__file__)))
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]


def zlib_verdict(blob: bytes) -> str | None:
    """What zlib says of a gzip stream, member after member, in the reader's words; None
    when the stream is whole."""
    rest = blob
    while True:
        d = zlib.decompressobj(31)
        try:
            d.decompress(rest)
        except zlib.error as exc:
            what = str(exc).split(": ", 1)[1]
            return "Invalid gzip data: " + {"incorrect data check": "CRC-32 mismatch",
                                            "incorrect length check": "length mismatch"}.get(what, what)
        if not d.eof:
            return ENDS_EARLY
        rest = d.unused_data
        if not rest:
            return None
        if rest[:2] != b"\x1f\x8b":
            return AFTER_LAST


@pytest.mark.parametrize("seed", range(40), ids=lambda s: f"seed{s}")
def test_damage_is_named_as_zlib_names_it(write_file, seed):
    # Whichever inflater met the damage first, in whichever member, the text is zlib's.
    rng = random.Random(f"damage{seed}")
    data = builders.recording(builders.header(), contiguous_blocks(rng.randrange(1, 80)))
    blob = bytearray(compress(data, rng))
    kind = rng.random()
    if kind < 0.6:
        for _ in range(rng.randint(1, 3)):
            blob[rng.randrange(2, len(blob))] ^= 1 << rng.randrange(8)
    elif kind < 0.8:
        blob = blob[:rng.randrange(2, len(blob))]
    else:
        at = rng.randrange(2, len(blob))
        blob[at:at + rng.randrange(1, 40)] = rng.randbytes(rng.randrange(0, 40))
    blob = bytes(blob)
    path = write_file(blob, "rec.gz")
    expected = zlib_verdict(blob)
    for call in (tiltgram.read_metadata, tiltgram.read_cwa_file):
        if expected is None:
            plain = write_file(gzip.decompress(blob), "plain.cwa")
            assert outcome(call, path) == outcome(call, plain)
        else:
            assert outcome(call, path) == ("RuntimeError", expected)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """A recording of 13 MB, many times the read-ahead ring, plain and as three gzip members."""
    sys.path.insert(0, BENCH)
    import synth
    data = synth.recording(0.35)
    folder = tmp_path_factory.mktemp("large")
    cuts = [0, len(data) // 3, len(data) // 3 + 12345, len(data)]
    packed = b"".join(gzip.compress(data[a:b], compresslevel=1, mtime=0) for a, b in zip(cuts, cuts[1:]))
    return builders.write(folder / "large.cwa", data), builders.write(folder / "large.cwa.gz", packed)


def test_large_recording_reads_alike(large, tmp_path):
    # A chunk of the read-ahead handed over wrongly (overwritten while read, skipped, twice)
    # changes some of these bits.
    plain, packed = large
    assert assert_same(plain, packed, tiltgram.read_cwa_file)[0] == "ok"
    assert_same(plain, packed, tiltgram.read_cwa_file, tiltgram.blocks(3000, 25000))
    assert_same(plain, packed, tiltgram.read_cwa_file, tiltgram.seconds(5000, 25000))
    assert_same(plain, packed, tiltgram.read_metadata)
    for out, path in (("plain.csv", plain), ("packed.csv", packed)):
        tiltgram.write_cwa_csv(path, str(tmp_path / out), include_temperature=True)
    assert filecmp.cmp(tmp_path / "plain.csv", tmp_path / "packed.csv", shallow=False)


# --- pipes ------------------------------------------------------------------------------------

@pytest.fixture
def fifo(tmp_path):
    """fifo(blob) -> the path of a FIFO that another process writes `blob` into, once."""
    writers = []

    def make(blob: bytes) -> str:
        src, path = tmp_path / f"src{len(writers)}", tmp_path / f"fifo{len(writers)}"
        src.write_bytes(blob)
        os.mkfifo(path)
        writers.append(subprocess.Popen(["sh", "-c", 'cat "$1" > "$2"', "sh", str(src), str(path)],
                                        stderr=subprocess.DEVNULL))
        return str(path)

    yield make
    for w in writers:
        try:
            w.wait(timeout=10)
        except subprocess.TimeoutExpired:
            w.kill()
            w.wait()


PIPE_DATA = builders.recording(builders.header(), contiguous_blocks(40))
READ_ONCE = {
    "read": lambda p, o: tiltgram.read_cwa_file(p),
    "read-blocks": lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.blocks(5, 30)),
    "resampled": lambda p, o: tiltgram.read_cwa_file(p, resample_hz=25.0),
    "metadata": lambda p, o: tiltgram.read_metadata(p),
    "report": lambda p, o: tiltgram.sampling_consistency_report(p),
    "csv-resampled": lambda p, o: (tiltgram.write_cwa_csv(p, o, resample_hz=25.0), open(o, "rb").read()),
}
SECONDS_TWICE = "A seconds cut needs a regular file: it reads the recording twice, and a pipe can be read only once"
CSV_TWICE = ("write_cwa_csv without resample_hz needs a regular file: it reads the recording twice, "
             "and a pipe can be read only once")
READ_TWICE = {
    "read-seconds": (lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.seconds(0.5, 3)), SECONDS_TWICE),
    "resampled-seconds": (lambda p, o: tiltgram.read_cwa_file(p, cut=tiltgram.seconds(0.5), resample_hz=5),
                          SECONDS_TWICE),
    "csv-seconds": (lambda p, o: tiltgram.write_cwa_csv(p, o, cut=tiltgram.seconds(0.5)), SECONDS_TWICE),
    "csv": (lambda p, o: tiltgram.write_cwa_csv(p, o), CSV_TWICE),
    "csv-blocks": (lambda p, o: tiltgram.write_cwa_csv(p, o, cut=tiltgram.blocks(2)), CSV_TWICE),
}


@pytest.mark.parametrize("call", READ_ONCE.values(), ids=READ_ONCE.keys())
def test_gzip_from_a_pipe_reads_as_from_a_file(tmp_path, write_file, fifo, call):
    blob = compress(PIPE_DATA, random.Random("pipe"))
    out = str(tmp_path / "out.csv")
    expected = outcome(call, write_file(blob, "rec.gz"), out)
    assert expected[0] == "ok"
    assert outcome(call, fifo(blob), out) == expected


@pytest.mark.parametrize("call, message", READ_TWICE.values(), ids=READ_TWICE.keys())
def test_calls_that_read_twice_refuse_a_pipe(tmp_path, fifo, call, message):
    out = tmp_path / "out.csv"
    out.write_text("kept")
    with pytest.raises(RuntimeError) as exc:
        call(fifo(compress(PIPE_DATA)), str(out))
    assert type(exc.value) is RuntimeError and str(exc.value) == message
    assert out.read_text() == "kept"


@pytest.mark.parametrize("blob, message", [c[1:] for c in CORRUPT[:9]], ids=[c[0] for c in CORRUPT[:9]])
def test_corrupt_gzip_from_a_pipe(fifo, blob, message):
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        tiltgram.read_metadata(fifo(blob))


def test_gzip_from_standard_input(tmp_path):
    blob = compress(PIPE_DATA, random.Random("stdin"))
    expected = outcome(tiltgram.read_metadata, builders.write(tmp_path / "rec.gz", blob))
    code = "import sys, tiltgram; print(repr(tiltgram.read_metadata('/dev/stdin')))"
    run = subprocess.run([sys.executable, "-c", code], input=blob, capture_output=True)
    assert run.returncode == 0, run.stderr.decode()[-2000:]
    assert run.stdout.decode().strip() == repr(expected[1])
