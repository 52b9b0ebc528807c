"""read_cwa_file without resampling: checked against the plain Python reader in reference.py,
plus the error texts, argument order, time zones, buffer ownership and memory use."""

import datetime as dt
import gc
import math
import os
import random
import subprocess
import sys
import time
from fractions import Fraction

import numpy as np
import pytest

import builders
import reference
import tiltgram
from builders import CAPACITY, FORMATS, contiguous_blocks, pack_time, packet

UTC = dt.timezone.utc
T2020 = 1577836800  # 2020-01-01T00:00:00 on the device clock, in seconds


def read(path, *args, **kwargs):
    return tiltgram.read_cwa_file(path, *args, **kwargs)


def check_against_reference(path, *args, **kwargs):
    return reference.check(reference.read, read, path, *args, **kwargs)


# --- random recordings ----------------------------------------------------------------------

def non_data_sector(rng):
    return rng.choice([
        bytes(512),
        b"XA" + rng.randbytes(510),
        packet(sample_count=0, samples=rng.randbytes(480), rate_code=0, format=0x42, timestamp=0),
        packet(sample_count=0, rate_code=rng.randrange(256), format=rng.randrange(256)),
    ])


def data_sector(rng, target, fmt, count, rate_code):
    """A packet whose natural start lies within half a second of ``target`` (exactly on it when
    some timestamp offset allows it)."""
    rate = Fraction(3200, 2 ** (15 - (rate_code & 0x0F)))
    offsets = list(range(-2 * count, 2 * count + 1))
    rng.shuffle(offsets)
    exact = [o for o in offsets[:200] if (target + o / rate).denominator == 1]
    offset = exact[0] if exact and rng.random() < 0.7 else offsets[0]
    if rng.random() < 0.05:
        offset = rng.choice([-32768, 32767, rng.randint(-32768, 32767)])
    second = round(target + offset / rate)
    stamp = builders.pack_datetime(dt.datetime(1970, 1, 1) + dt.timedelta(seconds=second))
    data = packet(timestamp=stamp, timestamp_offset=offset, rate_code=rate_code, format=fmt,
                  sample_count=count, samples=rng.randbytes(480), light=rng.randrange(1 << 16),
                  temperature=rng.randrange(1 << 16), battery=rng.randrange(256))
    return data, second - offset / rate + count / rate


def random_recording(rng):
    """(bytes, approximate duration in seconds) of a recording mixing formats, rates, gaps,
    overlaps, clock set-backs and non-data sectors."""
    year = rng.randint(2001, 2062)
    day = dt.datetime(year, rng.randint(1, 12), rng.randint(1, 28))
    t = Fraction((day - dt.datetime(1970, 1, 1)) // dt.timedelta(seconds=1) + rng.randrange(86400))
    first = t
    fixed_fmt = rng.choice([None, *FORMATS])
    rate_codes = [0x4A, 0x4A, 0x48, 0x4C, rng.randint(1, 15), 0x40 | rng.randint(0, 15), 0xA7]
    sectors = []
    for _ in range(rng.randint(1, 20)):
        if rng.random() < 0.15:
            sectors.append(non_data_sector(rng))
            continue
        fmt = fixed_fmt or rng.choice(list(FORMATS))
        count = rng.choice([CAPACITY[fmt], CAPACITY[fmt], rng.randint(1, CAPACITY[fmt])])
        code = rng.choice(rate_codes)
        duration = Fraction(count) / Fraction(3200, 2 ** (15 - (code & 0x0F)))
        t += rng.choice([
            0, 0, 0,
            Fraction(rng.randrange(1000), 1000),          # gap under a second
            1, Fraction(rng.randrange(1000, 50000), 1000),  # gap of a second or more
            -Fraction(rng.randrange(1000), 1000) * duration,  # overlap
            -duration - rng.randrange(3),                  # clock set back past the block
        ])
        data, t = data_sector(rng, t, fmt, count, code)
        sectors.append(data)
    return builders.recording(builders.header(), sectors), float(t - first)


def random_cut(rng, nblocks, duration, sample_times):
    """None, a blocks cut or a seconds cut; seconds bounds are often set exactly at the
    distance of a sample from the first one."""
    kind = rng.random()
    if kind < 0.3:
        return None
    if kind < 0.6:
        start = rng.choice([None, rng.randint(0, nblocks)])
        end = rng.choice([None, rng.randint(0 if start is None else start + 1, nblocks + 2)])
        return {"type": "blocks", "start": start, "end": end}

    duration = max(duration, 1.0)

    def value():
        if sample_times and rng.random() < 0.4:
            return max(0.0, rng.choice(sample_times) / 1e6 - sample_times[0] / 1e6)
        return rng.choice([0.0, rng.uniform(0, duration), rng.uniform(0, 1.5 * duration + 2)])
    start, end = rng.choice([None, value()]), rng.choice([None, value()])
    if start is not None and end is not None and end <= start:
        start, end = end, start if end < start else None
    return {"type": "seconds", "start": start, "end": end}


def random_timezone(rng):
    return rng.choice([None, None, UTC, dt.timezone(dt.timedelta(hours=rng.randint(-12, 14))),
                       dt.timezone(dt.timedelta(minutes=-330, microseconds=rng.randrange(10**6)))])


@pytest.mark.parametrize("seed", range(300), ids=lambda s: f"seed{s}")
def test_random_recordings_match_reference(tmp_path, seed):
    rng = random.Random(seed)
    data, duration = random_recording(rng)
    path = builders.write(tmp_path / "r.cwa", data)
    nblocks = (len(data) - 1024) // 512
    whole = reference.outcome(reference.read, path)
    times = [] if isinstance(whole, Exception) else list(whole["timestamps"])
    check_against_reference(
        path, random_cut(rng, nblocks, duration, times),
        *[rng.random() < 0.8 for _ in range(4)],
        fixed_utc_offset_timezone=random_timezone(rng))


# --- known results (independent of the reference reader) -------------------------------------

@pytest.mark.parametrize("fmt, flags, columns", [
    (0x30, {}, ["acc_x", "acc_y", "acc_z", "temperature", "light", "battery"]),
    (0x32, {"include_temperature": False, "include_light": False, "include_battery": False},
     ["acc_x", "acc_y", "acc_z"]),
    (0x62, {"include_light": False}, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z",
                                      "temperature", "battery"]),
    (0x92, {}, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z",
                "temperature", "light", "battery"]),
    (0x92, {"include_magnetometer": False}, ["acc_x", "acc_y", "acc_z", "gyro_x", "gyro_y",
                                              "gyro_z", "temperature", "light", "battery"]),
], ids=["packed", "unpacked-no-readings", "6axis-no-light", "9axis", "9axis-no-mag"])
def test_columns_and_types(cwa, fmt, flags, columns):
    df = read(cwa(contiguous_blocks(2, format=fmt)), **flags)
    assert list(df.columns) == columns
    assert all(str(t) == "float32" for t in df.dtypes)
    assert str(df.index.dtype) == "datetime64[us]" and df.index.name == "timestamp"
    assert len(df) == 2 * CAPACITY[fmt]


def test_known_times_and_values(cwa):
    samples = [(256, -512, 0, 0)] * 120
    blocks = [packet(samples=samples, raw_light=341, temperature=256, battery=100),
              packet(timestamp=pack_time(2020, 1, 1, 0, 0, 1), samples=samples)]
    df = read(cwa(blocks))
    t = df.index.asi8
    assert t[0] == T2020 * 10**6 and t[1] - t[0] == 10_000 and t[119] == 1577836801190000
    assert list(t[120:123]) == [1577836801200000, 1577836801208333, 1577836801216666]
    row = df.iloc[0]
    assert (row.acc_x, row.acc_y, row.acc_z) == (1.0, -2.0, 0.0)
    assert (row.light, row.temperature, row.battery) == (10.0, 25.0, np.float32(3.5859375))


@pytest.mark.parametrize("second, offset, joined", [
    (10, -90, True),    # natural span 10.9 .. 12.1: the previous end 11.2 lies inside it
    (10, 0, False),     # natural span 10.0 .. 11.2: the previous end is its own end
    (5, 0, False),      # clock set back well past the block
], ids=["overlap", "ends-at-previous-end", "set-back"])
def test_continuity_needs_the_previous_end_before_the_block_end(cwa, second, offset, joined):
    # Block 0 spans 10.0 .. 11.2 (100 Hz, 120 samples).
    first = packet(timestamp=pack_time(2020, 1, 1, 0, 0, 10), samples=[(0, 0, 0, 0)] * 120)
    later = packet(timestamp=pack_time(2020, 1, 1, 0, 0, second), timestamp_offset=offset,
                   samples=[(0, 0, 0, 0)] * 120)
    path = cwa([first, later])
    t = read(path).index.asi8[120:]
    prev_end = T2020 + 10 + float(np.float32(1.2))
    assert t[0] == (builders.to_us(prev_end) if joined else (T2020 + second) * 10**6)
    assert np.all(np.diff(t) > 0)
    if not joined:
        assert np.all(np.diff(t) == 10_000)


def test_seconds_cut_scan_keeps_set_back_blocks_at_their_own_start(cwa):
    # Spans 10.0 .. 11.2, then set back to 5.0 .. 6.2 and 6.2 .. 7.4 (joined).  An end bound
    # 1 s after the first sample stops at no span, so all three blocks are read; were the
    # second span moved to 11.2 the walk would stop there and drop the third block.
    zeros = [(0, 0, 0, 0)] * 120
    path = cwa([packet(timestamp=pack_time(2020, 1, 1, 0, 0, s), timestamp_offset=o, samples=zeros)
                for s, o in ((10, 0), (5, 0), (6, -20))])
    t = read(path, cut=tiltgram.seconds(end=1.0)).index.asi8
    assert len(t) == 100 + 240
    assert t[100] == (T2020 + 5) * 10**6 and t[220] == builders.to_us(T2020 + 5 + float(np.float32(1.2)))


def test_mixed_formats_fill_missing_channels_with_nan(cwa):
    blocks = contiguous_blocks(2, format=0x30) + contiguous_blocks(
        1, format=0x92, start=pack_time(2020, 1, 1, 0, 0, 3))
    path = cwa(blocks)
    df = read(path)
    assert np.isnan(df["gyro_x"].values[:240]).all() and not np.isnan(df["mag_z"].values[240:]).any()
    assert df["gyro_x"].values[:240].view("u4").tolist() == [0x7FC00000] * 240
    assert "gyro_x" not in read(path, cut=tiltgram.blocks(0, 2)).columns
    assert "gyro_x" not in read(path, cut=tiltgram.seconds(0.5, 1.5)).columns
    assert "mag_x" in read(path, cut=tiltgram.seconds(2.0)).columns


def test_seconds_zero_keeps_the_first_sample_when_the_start_is_not_a_whole_microsecond(cwa):
    # timestampOffset 20 at 100 Hz: natural start T - 1 + 0.800000011920929, first sample
    # stamped at ...0.800000; the cut is anchored at that stamped time.
    path = cwa([packet(timestamp_offset=20, samples=[(1, 1, 1, 0)] * 120)])
    whole = read(path)
    assert len(read(path, cut=tiltgram.seconds(0))) == len(whole) == 120
    assert read(path, cut=tiltgram.seconds(0.005)).index[0] == whole.index[1]


# --- errors ------------------------------------------------------------------------------------

def sample_packet(**fields):
    return packet(samples=[(0, 0, 0, 0)], **fields)


CUTS = {"whole": None, "blocks": {"type": "blocks", "start": 0, "end": None},
        "seconds": {"type": "seconds", "start": None, "end": None}}

THREE = contiguous_blocks(3)  # 0.0 .. 3.6 s at 100 Hz
BAD = sample_packet(rate_code=0)

CUT_ERRORS = [
    ("blocks-beyond", THREE, tiltgram.blocks(3), "Start block is beyond file size"),
    ("blocks-empty", THREE, tiltgram.blocks(end=0), "No valid sample data found in the specified range"),
    ("blocks-zero-count", [THREE[0], packet(sample_count=0)], tiltgram.blocks(1),
     "No valid sample data found in the specified range"),
    ("seconds-after-end", THREE, tiltgram.seconds(3.7), "No samples remain after applying seconds cut"),
    ("seconds-end-zero", THREE, tiltgram.seconds(end=0), "No samples remain after applying seconds cut"),
    ("between-samples", THREE, tiltgram.seconds(1.001, 1.005), "No samples remain after applying time range"),
    ("bounds-round-together", THREE, tiltgram.seconds(1.5, 1.5 + 1e-9),
     "range_end_time must be greater than range_start_time"),
    ("bad-block-before-start", [BAD, bytes(512)] + THREE, tiltgram.blocks(2),
     "Old CWA format packets are not supported"),
    ("bad-block-after-window", THREE + [BAD], tiltgram.seconds(0, 1), "Old CWA format packets are not supported"),
]


@pytest.mark.parametrize("sectors, cut, message", [e[1:] for e in CUT_ERRORS], ids=[e[0] for e in CUT_ERRORS])
def test_cut_errors(cwa, sectors, cut, message):
    path = cwa(sectors)
    with pytest.raises(RuntimeError) as exc:
        read(path, cut=cut)
    assert str(exc.value) == message
    check_against_reference(path, cut)


@pytest.mark.parametrize("cut", [
    tiltgram.blocks(1, 2**64 - 1), tiltgram.blocks(2**64 - 2), tiltgram.seconds(1e300),
    tiltgram.seconds(0, 1e308), tiltgram.seconds(1e-300, 2e-300), tiltgram.seconds(end=1e-9),
], ids=["blocks-end-max", "blocks-start-max", "seconds-huge-start", "seconds-huge-end",
        "seconds-tiny", "seconds-tiny-end"])
def test_extreme_cut_bounds(cwa, cut):
    check_against_reference(cwa(THREE), cut)


@pytest.mark.parametrize("sectors, cut, rows", [
    ([BAD] + THREE, tiltgram.blocks(2), 240),   # an earlier data block ends the walk back
    (THREE + [BAD], tiltgram.blocks(0, 3), 360),  # blocks after the range are never read
], ids=["before", "after"])
def test_bad_blocks_outside_the_walk_are_not_read(cwa, sectors, cut, rows):
    assert len(read(cwa(sectors), cut=cut)) == rows


def test_file_truncated_while_being_read_fails_with_unexpected_end(tmp_path):
    # A helper process keeps shrinking the file to one block and growing it back (with zero
    # sectors) while it is read: a read that saw the long size meets the end of the file early.
    path = builders.write(tmp_path / "t.cwa", builders.recording(builders.header(), contiguous_blocks(1)))
    long_size, short_size = 1024 + 512 * 4000, 1024 + 512
    code = ("import os, sys\nfd = os.open(sys.argv[1], os.O_WRONLY)\nwhile True:\n"
            f"    os.ftruncate(fd, {long_size}); os.ftruncate(fd, {short_size})\n")
    helper = subprocess.Popen([sys.executable, "-c", code, path])
    seen = set()
    try:
        deadline = time.monotonic() + 20
        while "Unexpected end of CWA data" not in seen and time.monotonic() < deadline:
            try:
                assert len(read(path)) == 120
            except RuntimeError as exc:
                seen.add(str(exc))
    finally:
        helper.kill()
        helper.wait()
    assert "Unexpected end of CWA data" in seen
    assert seen <= {"Unexpected end of CWA data", "IO error: failed to fill whole buffer"}


# --- argument order and time zones ------------------------------------------------------------

class Offset(dt.tzinfo):
    def __init__(self, value):
        self.value = value

    def utcoffset(self, when):
        return self.value


def test_resample_options_are_checked_before_the_file(tmp_path):
    for kwargs in ({"resample_hz": -1.0}, {"resample_hz": math.nan},
                   {"resample_hz": 10.0, "resample_method": "linear"}):
        with pytest.raises(ValueError):
            read(str(tmp_path / "missing.cwa"), **kwargs)


@pytest.mark.parametrize("tz, exc_type, text", [
    (dt.tzinfo(), NotImplementedError, "a tzinfo subclass must implement utcoffset()"),
    (Offset(None), TypeError, "'NoneType' object cannot be converted to 'PyDelta'"),
    (Offset(dt.timedelta(days=107_000_000)), OverflowError, reference.OFFSET_OVERFLOW),
], ids=["base-tzinfo", "none-offset", "huge-offset"])
def test_time_zone_is_read_after_the_plan_and_before_the_blocks(cwa, tmp_path, tz, exc_type, text):
    kw = {"fixed_utc_offset_timezone": tz}
    with pytest.raises(RuntimeError, match="^IO error: "):
        read(str(tmp_path / "missing.cwa"), cut=tiltgram.seconds(), **kw)
    path = cwa(THREE)
    with pytest.raises(RuntimeError, match="^No samples remain after applying seconds cut$"):
        read(path, cut=tiltgram.seconds(10), **kw)
    with pytest.raises(exc_type) as exc:   # the read itself would fail with an empty range
        read(path, cut=tiltgram.blocks(end=0), **kw)
    assert (type(exc.value), str(exc.value)) == (exc_type, text)


@pytest.mark.parametrize("offset, error", [
    (dt.timedelta(hours=2), None),
    (dt.timedelta(0), None),
    (dt.timedelta(hours=-5, microseconds=1), None),
    (dt.timedelta(days=106_751_991), None),        # near the limit, shifted times still fit
    (dt.timedelta(days=-106_751_991), OverflowError),  # shifted times pass 2**63
], ids=["plus-2h", "zero", "west", "huge-fits", "shift-overflows"])
def test_fixed_offset_shifts_output_times_only(cwa, offset, error):
    path = cwa(THREE)
    cut = tiltgram.seconds(1.0, 2.0)
    naive = read(path, cut=cut)
    if error:
        with pytest.raises(error, match=f"^{reference.SHIFT_OVERFLOW}$"):
            read(path, cut=cut, fixed_utc_offset_timezone=Offset(offset))
        return
    aware = check_against_reference(path, cut, fixed_utc_offset_timezone=Offset(offset))
    assert str(aware.index.dtype) == "datetime64[us, UTC]"
    np.testing.assert_array_equal(aware.index.asi8, naive.index.asi8 - offset // dt.timedelta(microseconds=1))
    assert (aware.values.view("u4") == naive.values.view("u4")).all()


@pytest.mark.parametrize("cut", CUTS.values(), ids=CUTS.keys())
def test_path_with_nul_is_not_opened_as_its_prefix(cwa, cut):
    path = cwa(THREE)
    assert len(read(path, cut=cut)) == 360
    with pytest.raises(RuntimeError, match="^IO error: "):
        read(path + "\0.bak", cut=cut)


# --- buffer ownership and memory ----------------------------------------------------------------

def owner_type_name(array):
    while isinstance(array, np.ndarray) and array.base is not None:
        array = array.base
    return type(array).__name__


@pytest.mark.parametrize("kwargs", [
    {}, {"cut": tiltgram.seconds(1.1, 2.5)}, {"fixed_utc_offset_timezone": dt.timezone(dt.timedelta(hours=1))},
], ids=["whole", "filtered", "shifted"])
def test_columns_and_index_are_not_copied(cwa, kwargs):
    df = read(cwa(contiguous_blocks(10, format=0x92)), **kwargs)
    # An aware index gives its int64 values through asi8; .values would convert.
    index = df.index.asi8 if df.index.tz is not None else df.index.values
    assert owner_type_name(index) == "_BufferOwner"
    for name in df.columns:
        assert owner_type_name(df[name].values) == "_BufferOwner", name


def test_arrays_outlive_the_frame(cwa):
    path = cwa(contiguous_blocks(5, format=0x62))
    df = read(path)
    arrays = {name: df[name].values for name in df.columns}
    index = df.index.values
    copies = {name: a.copy() for name, a in arrays.items()}, index.copy()
    del df
    gc.collect()
    for _ in range(3):
        read(path, include_light=False)   # reuse of freed memory would show here
    for name, array in arrays.items():
        np.testing.assert_array_equal(array.view("u4"), copies[0][name].view("u4"))
    np.testing.assert_array_equal(index, copies[1])


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_reads_do_not_grow_memory(cwa):
    blocks = contiguous_blocks(400, format=0x92)    # 10400 rows, about 0.6 MB of columns a read
    ok = cwa(blocks)
    bad_last = cwa(blocks + [BAD])

    def calls():
        read(ok)
        read(ok, cut=tiltgram.seconds(100, 200), fixed_utc_offset_timezone=UTC)
        for path, cut in ((ok, tiltgram.seconds(1.001, 1.005)), (bad_last, None)):
            with pytest.raises(RuntimeError):
                read(path, cut=cut)

    for _ in range(20):
        calls()
    gc.collect()
    before = resident_bytes()
    for _ in range(150):   # a leak of one result per call would be well over 100 MB
        calls()
    gc.collect()
    assert resident_bytes() - before < 32 * 2**20
