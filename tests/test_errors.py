"""Every documented error, with its exception type and whole text, on every route that can
reach it: the plain read, each cut kind, the resampled read, each CSV route and the two
metadata reports. Read failures in the middle of a file come from tests/fault_shim.c."""

import datetime as dt
import errno
import gzip
import os

import pytest

import builders
import tiltgram
from builders import contiguous_blocks, packet
from faults import faulty  # noqa: F401 - a fixture
from reference import OFFSET_OVERFLOW, SHIFT_OVERFLOW
from routes import READ_ROUTES, REPORT_ROUTES, ROUTES, kind, outcome

OK = ("ok", None)
EOF = "IO error: failed to fill whole buffer"
EIO = f"IO error: {os.strerror(errno.EIO)} (os error {errno.EIO})"
UNEXPECTED_END = "Unexpected end of CWA data"
NO_DATA_IN_RANGE = "No valid sample data found in the specified range"
TOO_FEW_FOR_GRID = "No samples remain after applying time range/resampling"

HEAD = builders.header()
THREE = builders.recording(HEAD, contiguous_blocks(3))  # 0.0 .. 3.6 s at 100 Hz
RESAMPLED = [r for r in READ_ROUTES if "resampled" in r]
STREAMED = ["csv-streamed", "csv-streamed-blocks"]


def one_sample(**fields):
    return packet(samples=[(0, 0, 0, 0)], **fields)


def expect(reads, reports=None, **overrides):
    """route -> (type, text): `reads` on the reading routes, `reports` on the two reports
    (None: they succeed); `overrides` maps a route, or "seconds" for the routes with a
    seconds cut, to its own text (None: it succeeds)."""
    def one(route):
        text = reports if route in REPORT_ROUTES else reads
        if route in overrides:
            text = overrides[route]
        elif route in READ_ROUTES and kind(route) in overrides:
            text = overrides[kind(route)]
        return OK if text is None else (RuntimeError, text)
    return {route: one(route) for route in ROUTES}


def by_route(cases):
    """Parameters (data, route, expected) for every case and route, with ids."""
    return [pytest.param(data, route, table[route], id=f"{name}-{route}")
            for name, data, table in cases for route in ROUTES]


FILE_CASES = [
    ("empty", b"", expect(EOF, EOF)),
    ("one-byte", b"M", expect(EOF, EOF)),
    ("not-md", b"XD" + bytes(1022 + 512), expect("Not a valid CWA file", "First block is not a metadata block")),
    ("ax-metadata", builders.header(packet_header=b"AX") + THREE[1024:],
     expect("Not a valid CWA file", "First block is not a metadata block")),
    ("bad-utf8-metadata", builders.header(packet_header=b"\xff\xff") + THREE[1024:],
     expect("Not a valid CWA file", "Invalid packet header format")),
    ("too-small", b"MD" + bytes(1021), expect("File too small to be a valid CWA file", EOF)),
    ("incomplete", HEAD + one_sample() + b"\0", expect("Incomplete CWA data block", EOF)),
    ("partial-sector", HEAD + bytes(100), expect("Incomplete CWA data block", EOF)),
    ("header-only", HEAD, expect("Start block is beyond file size")),
    ("no-data", HEAD + bytes(512) + packet(sample_count=0),
     expect(NO_DATA_IN_RANGE, seconds="No valid sample data found", **dict.fromkeys(STREAMED))),
    ("one-sample", HEAD + one_sample(), expect(None, **dict.fromkeys(RESAMPLED, TOO_FEW_FOR_GRID))),
    ("old-format", HEAD + one_sample(rate_code=0, format=0x42),
     expect(*["Old CWA format packets are not supported"] * 2)),
    ("old-format-last", THREE + one_sample(rate_code=0), expect(*["Old CWA format packets are not supported"] * 2)),
    ("axes", HEAD + packet(format=0x42, sample_count=1), expect(*["Unsupported sample format: 4 axes, packing 2"] * 2)),
    ("packing", HEAD + packet(format=0x31, sample_count=1), expect(*["Unsupported sample format: 3 axes, packing 1"] * 2)),
    ("capacity", HEAD + packet(format=0x92, sample_count=27), expect(*["Sample count exceeds packet capacity"] * 2)),
    ("unset-time", HEAD + one_sample(timestamp=0xFFFFFFFF), expect(*["Invalid block timestamp"] * 2)),
    ("feb-30", THREE + one_sample(timestamp=builders.pack_time_raw(2021, 2, 30)),
     expect(*["Invalid block timestamp"] * 2)),
]


@pytest.mark.parametrize("data, route, expected", by_route(FILE_CASES))
def test_recording_errors(write_file, tmp_path, data, route, expected):
    assert outcome(route, write_file(data), str(tmp_path / "out.csv")) == expected


# Errors that depend on the selection, on the 3.6 s recording; the CSV writer takes its
# collected route for a seconds cut and its streamed route for a blocks cut.
SELECTIONS = [
    ("blocks-beyond", {"cut": tiltgram.blocks(3)}, {r: "Start block is beyond file size" for r in
                                                      ("read", "resampled", "csv-streamed", "csv-resampled")}),
    ("blocks-empty", {"cut": tiltgram.blocks(end=0)},
     {"read": NO_DATA_IN_RANGE, "resampled": NO_DATA_IN_RANGE, "csv-streamed": None, "csv-resampled": NO_DATA_IN_RANGE}),
    ("after-last-span", {"cut": tiltgram.seconds(3.7)}, {r: "No samples remain after applying seconds cut" for r in
                                                         ("read", "resampled", "csv-streamed", "csv-resampled")}),
    ("after-last-sample", {"cut": tiltgram.seconds(3.595)},  # the last sample is at 3.59
     {"read": "No samples remain after applying time range", "csv-streamed": "No samples remain after applying time range",
      "resampled": TOO_FEW_FOR_GRID, "csv-resampled": TOO_FEW_FOR_GRID}),
    ("bounds-round-together", {"cut": tiltgram.seconds(1.5, 1.5 + 1e-9)},
     {r: "range_end_time must be greater than range_start_time" for r in
      ("read", "resampled", "csv-streamed", "csv-resampled")}),
]


@pytest.mark.parametrize("kwargs, route, text", [
    pytest.param(kwargs, route, text, id=f"{name}-{route}")
    for name, kwargs, table in SELECTIONS for route, text in table.items()])
def test_selection_errors(write_file, tmp_path, kwargs, route, text):
    expected = OK if text is None else (RuntimeError, text)
    assert outcome(route, write_file(THREE), str(tmp_path / "out.csv"), **kwargs) == expected


class Offset(dt.tzinfo):
    def __init__(self, value):
        self.value = value

    def utcoffset(self, when):
        return self.value


# Options and the fixed UTC offset, on every reading route; the file is never opened for
# the options, so a missing one shows that they come first.
ARGUMENT_CASES = [
    ("hz-zero", {"resample_hz": 0}, ValueError, "resample_hz must be a finite value > 0"),
    ("hz-nan", {"resample_hz": float("nan")}, ValueError, "resample_hz must be a finite value > 0"),
    ("hz-high", {"resample_hz": 10000.5}, ValueError, "resample_hz must be <= 10000"),
    ("method", {"resample_hz": 10, "resample_method": "linear"}, ValueError,
     "Unsupported resample_method 'linear'. Supported: cubic"),
    ("offset-too-large", {"fixed_utc_offset_timezone": Offset(dt.timedelta(days=-999_999_999))},
     OverflowError, OFFSET_OVERFLOW),
    ("shift-too-large", {"fixed_utc_offset_timezone": Offset(dt.timedelta(microseconds=-(2**63 - 10**15)))},
     OverflowError, SHIFT_OVERFLOW),
    ("offset-not-timedelta", {"fixed_utc_offset_timezone": Offset(None)}, TypeError,
     "'NoneType' object cannot be converted to 'PyDelta'"),
]


@pytest.mark.parametrize("route", READ_ROUTES)
@pytest.mark.parametrize("kwargs, exc_type, text", [c[1:] for c in ARGUMENT_CASES], ids=[c[0] for c in ARGUMENT_CASES])
def test_option_and_offset_errors(write_file, tmp_path, route, kwargs, exc_type, text):
    path = write_file(THREE)
    if exc_type is ValueError and "resample_hz" in READ_ROUTES[route][1]:
        kwargs = {"resample_hz": 50.0, **kwargs}
    out = tmp_path / "out.csv"
    out.write_text("keep")
    assert outcome(route, path, str(out), **kwargs) == (exc_type, text)
    if exc_type is ValueError:
        assert outcome(route, str(tmp_path / "missing.cwa"), str(out), **kwargs) == (exc_type, text)
    assert out.read_text() == "keep"


@pytest.mark.parametrize("route", [r for r in READ_ROUTES if r.startswith("csv")])
def test_output_naming_the_input_is_refused_on_every_csv_route(write_file, route):
    path = write_file(THREE)
    assert outcome(route, path, path) == (RuntimeError, "output_path must not be the input recording")
    assert open(path, "rb").read() == THREE


# Read faults at byte offsets of the 3-block recording (data blocks at 1024, 1536, 2048):
# (offset, errno; 0 is an end of file there, as when the file shrinks while it is read).
FAULTS = [
    ("eio-metadata", (THREE, 0, errno.EIO), expect(EIO, EIO)),
    ("eio-first-sector", (THREE, 1024, errno.EIO), expect(EIO, EIO)),
    ("eio-middle-sector", (THREE, 1536, errno.EIO), expect(EIO, EIO)),
    ("eio-last-sector", (THREE, 2048, errno.EIO), expect(EIO, EIO)),
    ("end-inside-metadata", (THREE, 1, 0), expect(EOF, EOF)),
    ("end-before-middle-sector", (THREE, 1536, 0), expect(UNEXPECTED_END)),
    ("end-before-last-sector", (THREE, 2048, 0), expect(UNEXPECTED_END)),
    ("end-inside-last-sector", (THREE, 2048 + 100, 0), expect(EOF, EOF)),
]

# The same recording gzip-compressed (about 1.6 kB: compressed sectors at 0, 512, 1024 and
# 1536, the 8-byte trailer at the end). Every route reads the stream to its end, so a fault
# anywhere in it is the call's error, on the reports too; an early end is one of the stream.
GZ_THREE = gzip.compress(THREE, mtime=0)
GZIP_ENDS_EARLY = "Invalid gzip data: compressed data ends early"
# Routes that decompress the stream twice: a scan first (the seconds cut's plan, the
# streamed CSV's channel scan), then the read. The reports read the metadata block and the
# sample scan in one pass.
TWO_PASSES = ["read-seconds", "resampled-seconds", "csv-collected", *STREAMED]
FAULTS += [
    ("gzip-eio-first-sector", (GZ_THREE, 100, errno.EIO), expect(EIO, EIO)),
    ("gzip-eio-middle-sector", (GZ_THREE, len(GZ_THREE) // 2, errno.EIO), expect(EIO, EIO)),
    ("gzip-eio-last-sector", (GZ_THREE, len(GZ_THREE) - 20, errno.EIO), expect(EIO, EIO)),
    ("gzip-eio-trailer", (GZ_THREE, len(GZ_THREE) - 4, errno.EIO), expect(EIO, EIO)),
    ("gzip-eio-middle-second-pass", (GZ_THREE, len(GZ_THREE) // 2, errno.EIO, 1),
     expect(None, **dict.fromkeys(TWO_PASSES, EIO))),
    # One byte is no gzip magic: the file is read as it is.
    ("gzip-end-inside-magic", (GZ_THREE, 1, 0), expect(EOF, EOF)),
    ("gzip-end-inside-header", (GZ_THREE, 5, 0), expect(GZIP_ENDS_EARLY, GZIP_ENDS_EARLY)),
    ("gzip-end-middle-sector", (GZ_THREE, len(GZ_THREE) // 2, 0), expect(GZIP_ENDS_EARLY, GZIP_ENDS_EARLY)),
    ("gzip-end-inside-trailer", (GZ_THREE, len(GZ_THREE) - 4, 0), expect(GZIP_ENDS_EARLY, GZIP_ENDS_EARLY)),
]


@pytest.mark.parametrize("fault, route, expected", by_route(FAULTS))
def test_read_faults(faulty, write_file, tmp_path, fault, route, expected):  # noqa: F811
    data, offset, errnum, *skip = fault
    answer = faulty.call(route, write_file(data), tmp_path / "out.csv", read=(offset, errnum, *(skip or [0])))
    assert tuple(answer["outcome"]) == (expected[0] if expected == OK else expected[0].__name__, expected[1])
    # A fault kept for a second pass is never met by a route that reads once.
    assert answer["hits"] >= (0 if skip and expected == OK else 1) and answer["fds_left"] == []
