"""read_cwa_file(..., resample_hz=...): the whole resampled read checked bit for bit against
the whole-list model in reference_resample.py over random recordings, plus known answers
that do not depend on that model (grid rows at sample times, cut windows of a whole read,
column appearance, the early stop), the option checks and the error texts."""

import datetime as dt
import math
import os
import random
import subprocess
import sys
from decimal import ROUND_HALF_EVEN, Decimal
from fractions import Fraction

import numpy as np
import pytest

import builders
import reference
import reference_resample
import tiltgram
from builders import CAPACITY, FORMATS, contiguous_blocks, pack_time, packet, to_us

T2020 = 1577836800  # 2020-01-01T00:00:00 on the device clock, in seconds
ROW_BUDGET = 2500   # keeps the Python model quick
NAN_BITS = 0x7FC00000


def read(path, *args, **kwargs):
    return tiltgram.read_cwa_file(path, *args, **kwargs)


def check(path, *args, **kwargs):
    """The module's frame, or its exception, is the model's."""
    return reference.check(reference_resample.read, read, path, *args, **kwargs)


# --- random recordings ----------------------------------------------------------------------

def data_sector(rng, target, fmt, count, rate_code):
    """A packet whose natural start lies near ``target`` (on it when an offset allows),
    and its natural end as a Fraction."""
    rate = Fraction(3200, 2 ** (15 - (rate_code & 0x0F)))
    offsets = list(range(-2 * count, 2 * count + 1))
    rng.shuffle(offsets)
    exact = [o for o in offsets[:200] if (target + o / rate).denominator == 1]
    offset = exact[0] if exact and rng.random() < 0.7 else offsets[0]
    second = round(target + offset / rate)
    stamp = builders.pack_datetime(dt.datetime(1970, 1, 1) + dt.timedelta(seconds=second))
    area = builders.encode_samples(fmt, builders.random_samples(fmt, count, rng))
    if rng.random() < 0.2:  # runs of equal values give flat and exact stretches
        area = area[:FORMATS[fmt][1]] * count
    data = packet(timestamp=stamp, timestamp_offset=offset, rate_code=rate_code, format=fmt,
                  sample_count=count, samples=area, light=rng.randrange(1 << 16),
                  temperature=rng.randrange(1 << 16), battery=rng.randrange(256))
    return data, second - offset / rate + count / rate


def random_recording(rng):
    """Formats mixed or fixed, several rates, gaps of any size, overlaps, clock set-backs,
    repeated packets (equal sample times) and sectors that are no data packet."""
    day = dt.datetime(rng.randint(2001, 2062), rng.randint(1, 12), rng.randint(1, 28))
    t = Fraction((day - dt.datetime(1970, 1, 1)) // dt.timedelta(seconds=1) + rng.randrange(86400))
    fixed_fmt = rng.choice([None, *FORMATS])
    rate_codes = [0x4A, 0x4A, 0x48, 0x4C, 0x4F, rng.randint(3, 15), 0xA7]
    sectors = []
    for _ in range(rng.randint(1, 12)):
        roll = rng.random()
        if roll < 0.1:
            sectors.append(rng.choice([bytes(512), packet(sample_count=0, format=0x42, rate_code=0)]))
            continue
        if roll < 0.15 and sectors and sectors[-1][:2] == b"AX":
            sectors.append(sectors[-1])   # the same packet again
            continue
        fmt = fixed_fmt or rng.choice(list(FORMATS))
        count = rng.choice([CAPACITY[fmt], rng.randint(1, CAPACITY[fmt]), rng.randint(1, 4)])
        code = rng.choice(rate_codes)
        rate = Fraction(3200, 2 ** (15 - (code & 0x0F)))
        duration = count / rate
        t += rng.choice([
            0, 0, 0,
            Fraction(rng.randrange(1000), 1000),              # gap under a second
            1, Fraction(rng.randrange(1000, 30000), 1000),     # gap of a second or more
            rng.randrange(10**4, 10**6),                       # gap of hours or days
            -Fraction(rng.randrange(1000), 1000) * duration,   # overlap
            -duration + rng.randint(0, 2) / rate,  # ends at or just after the previous end:
                                                   # samples microseconds apart, or on one time
            -duration - rng.randrange(3),                      # clock set back past the block
        ])
        data, t = data_sector(rng, t, fmt, count, code)
        sectors.append(data)
    return builders.recording(builders.header(), sectors)


def random_rate(rng):
    return rng.choice([0.5, 1, 25, 100, 10000, 1000 / 3, round(math.exp(rng.uniform(math.log(0.5), math.log(10000))), 3)])


def random_cut(rng, nblocks, times, hz):
    """None, a blocks cut or a seconds cut (bounds often on sample or grid times), narrowed
    to a seconds window when the grid would otherwise be long."""
    anchor = times[0] / 1e6 if times else 0.0
    extent = (max(times) - min(times)) / 1e6 if times else 0.0

    def offset():
        if times and rng.random() < 0.4:
            return max(0.0, rng.choice(times) / 1e6 - anchor)
        return rng.uniform(0, extent * 1.1 + 1)

    kind = rng.random()
    if kind < 0.25 and extent * hz < ROW_BUDGET:
        return None
    if kind < 0.5 and extent * hz < ROW_BUDGET:
        start = rng.choice([None, rng.randint(0, nblocks)])
        end = rng.choice([None, rng.randint(0 if start is None else start + 1, nblocks + 1)])
        return tiltgram.blocks(start, end)
    start = rng.choice([None, offset()])
    base = start or 0.0
    end = rng.choice([None, offset(), base + rng.randint(1, 50) / hz])  # the last on a grid point
    if end is not None and end <= base:
        end = None
    if (end if end is not None else extent * 1.1) - base > ROW_BUDGET / hz:
        end = base + rng.uniform(0.1, 1.0) * ROW_BUDGET / hz
    return tiltgram.seconds(start, end)


UTC = dt.timezone.utc


@pytest.mark.parametrize("seed", range(250), ids=lambda s: f"seed{s}")
def test_random_recordings_match_model(tmp_path, seed):
    rng = random.Random(seed)
    data = random_recording(rng)
    path = builders.write(tmp_path / "r.cwa", data)
    whole = reference.outcome(reference.read, path)
    times = [] if isinstance(whole, Exception) else [int(t) for t in whole["timestamps"]]
    hz = random_rate(rng)
    cut = random_cut(rng, (len(data) - 1024) // 512, times, hz)
    tz = rng.choice([None, None, UTC, dt.timezone(dt.timedelta(hours=rng.randint(-12, 14)))])
    check(path, cut, *[rng.random() < 0.8 for _ in range(4)], hz,
          fixed_utc_offset_timezone=tz)


# --- options -----------------------------------------------------------------------------------

@pytest.mark.parametrize("hz, method, error", [
    (10000, "cubic", None),
    (10000.5, "cubic", "resample_hz must be <= 10000"),
    (1e308, "Cubic", "resample_hz must be <= 10000"),
    (0, "cubic", "resample_hz must be a finite value > 0"),
    (-0.0, "cubic", "resample_hz must be a finite value > 0"),
    (-1, "cubic", "resample_hz must be a finite value > 0"),
    (math.nan, "cubic", "resample_hz must be a finite value > 0"),
    (math.inf, "cubic", "resample_hz must be a finite value > 0"),
    (-math.inf, "linear", "resample_hz must be a finite value > 0"),
    (50, "Cubic", "Unsupported resample_method 'Cubic'. Supported: cubic"),
    (50, "cubic ", "Unsupported resample_method 'cubic '. Supported: cubic"),
    (50, "", "Unsupported resample_method ''. Supported: cubic"),
], ids=["max", "above-max", "huge-checked-before-method", "zero", "minus-zero", "negative", "nan",
        "inf", "minus-inf-before-method", "capital", "trailing-space", "empty"])
def test_rate_and_method_checks(tmp_path, cwa, hz, method, error):
    if error is None:
        assert len(read(cwa(contiguous_blocks(1, rate_code=0x47)), resample_hz=hz, resample_method=method)) > 90000
        return
    for path in (str(tmp_path / "missing.cwa"), cwa(contiguous_blocks(1))):   # before the file
        with pytest.raises(ValueError) as exc:
            read(path, resample_hz=hz, resample_method=method)
        assert type(exc.value) is ValueError and str(exc.value) == error


@pytest.mark.parametrize("hz", [25, np.float64(25.0), np.int32(25)], ids=["int", "numpy-float", "numpy-int"])
def test_numbers_are_taken_as_floats(cwa, hz):
    path = cwa(contiguous_blocks(3))
    reference.assert_frame(read(path, resample_hz=hz), reference_resample.read(path, resample_hz=25.0))


@pytest.mark.parametrize("kwargs", [{"resample_hz": "25"}, {"resample_hz": b"25"},
                                    {"resample_hz": 25, "resample_method": None}],
                         ids=["text-rate", "bytes-rate", "none-method"])
def test_wrong_option_types(cwa, kwargs):
    with pytest.raises(TypeError):
        read(cwa(contiguous_blocks(1)), **kwargs)


@pytest.mark.parametrize("method", ["linear", "Cubic", ""])
def test_without_a_rate_the_method_is_ignored(cwa, method):
    path = cwa(contiguous_blocks(2, format=0x92) + [bytes(512)])
    df = read(path, resample_hz=None, resample_method=method)
    assert len(df) == 2 * CAPACITY[0x92]
    reference.assert_frame(df, reference.read(path))


# --- errors of the read ----------------------------------------------------------------------------

THREE = contiguous_blocks(3)          # 0.0 .. 3.6 s at 100 Hz
LAST_SAMPLE = 3.59                    # of THREE, from its first sample


@pytest.mark.parametrize("sectors, cut, message", [
    ([bytes(512), packet(sample_count=0)] + THREE, tiltgram.blocks(0, 2),
     "No valid sample data found in the specified range"),
    (THREE, tiltgram.blocks(end=0), "No valid sample data found in the specified range"),
    (THREE, tiltgram.blocks(3), "Start block is beyond file size"),
    ([packet(samples=[(1, 2, 3, 0)])], None, "No samples remain after applying time range/resampling"),
    ([bytes(512), packet(samples=[(1, 2, 3, 0)]), bytes(512)] + THREE, tiltgram.blocks(0, 3),
     "No samples remain after applying time range/resampling"),
    (THREE, tiltgram.seconds(LAST_SAMPLE + 0.005), "No samples remain after applying time range/resampling"),
    (THREE, tiltgram.seconds(3.7), "No samples remain after applying seconds cut"),
    (THREE + [packet(samples=[(0, 0, 0, 0)], rate_code=0)], None, "Old CWA format packets are not supported"),
], ids=["only-non-data", "empty-range", "beyond-file", "single-sample", "single-sample-in-range",
        "start-after-last-sample", "start-after-last-span", "bad-packet"])
def test_read_errors(cwa, sectors, cut, message):
    path = cwa(sectors)
    with pytest.raises(RuntimeError) as exc:
        read(path, cut=cut, resample_hz=50)
    assert type(exc.value) is RuntimeError and str(exc.value) == message
    check(path, cut, resample_hz=50)


# --- known answers ---------------------------------------------------------------------------------

def spaced_blocks(formats, **fields):
    """One block per format, ten seconds apart; every sample time is a whole 10 ms."""
    return [contiguous_blocks(1, start=pack_time(2020, 1, 1, 0, 0, 10 * k), format=f, seed=k, **fields)[0]
            for k, f in enumerate(formats)]


@pytest.mark.parametrize("formats, kwargs", [
    ([0x30, 0x32], {}),
    ([0x62, 0x92, 0x30], {"include_light": False}),
    ([0x92, 0x92], {"include_magnetometer": False, "include_battery": False}),
], ids=["3-axis", "mixed", "9-axis-no-mag"])
def test_grid_points_on_sample_times_are_the_samples(cwa, formats, kwargs):
    # At 100 Hz from a whole second, grid point n lies at n / 100 s; a sample stamped there
    # (most are; the truncation of the sample times puts a few 1 us lower) is on the grid, and
    # its row is the sample's row.  The gaps between blocks are bridged by interpolation.
    path = cwa(spaced_blocks(formats, raw_light=300, temperature=400, battery=180))
    plain = read(path, **kwargs)
    df = check(path, None, resample_hz=100, **kwargs)
    assert len(df) == 100 * 10 * (len(formats) - 1) + CAPACITY[formats[-1]]
    assert list(df.columns) == list(plain.columns)
    offsets = plain.index.asi8 - T2020 * 10**6
    on_grid = offsets % 10_000 == 0
    assert on_grid.sum() > 0.9 * len(plain)
    rows = df.iloc[offsets[on_grid] // 10_000]
    np.testing.assert_array_equal(rows.values.view("u4"), plain[on_grid].values.view("u4"))
    assert np.isfinite(df["acc_x"].values).all()


@pytest.mark.parametrize("rate_code, hz, blocks, count, rows", [
    (0x4A, 0.5, 20, 120, (12,)),          # one row every 2 s over 24 s
    (0x47, 10000, 1, 10, (7200, 7201)),   # 800 rows per 80 ms input interval
    (0x4F, 7, 4, 120, (2,)),
], ids=["0.5Hz-from-100Hz", "10000Hz-from-12.5Hz", "7Hz-from-3200Hz"])
def test_very_low_and_very_high_rates(cwa, rate_code, hz, blocks, count, rows):
    path = cwa(contiguous_blocks(blocks, rate_code=rate_code, sample_count=count))
    df = check(path, None, resample_hz=hz)
    times = read(path).index.asi8
    assert len(df) in rows
    assert df.index.asi8[0] == times[0]
    assert abs(np.diff(df.index.asi8) - 1e6 / hz).max() <= 1
    assert times[-1] - 1e6 / hz - 1 < df.index.asi8[-1] <= times[-1]


@pytest.mark.parametrize("hz", [100, 20])
@pytest.mark.parametrize("window", [(2.5, 5.0), (2.5, None), (None, 5.0), (0.0, 0.5), (3.0, 12.5)],
                         ids=["inside", "start-only", "end-only", "first-rows", "past-the-end"])
def test_seconds_cut_rows_are_the_whole_grid_inside_the_window(cwa, hz, window):
    # Grid times from a whole second with a whole-millisecond step are exact, so a start bound
    # on the grid gives the whole read's grid from there: samples before the start shape the
    # first rows and samples after the end the last, as in the whole read.
    path = cwa(contiguous_blocks(10))   # 0.0 .. 12.0 s
    whole = read(path, resample_hz=hz)
    df = check(path, tiltgram.seconds(*window), resample_hz=hz)
    lo, hi = ((T2020 + (w or 0)) * 10**6 for w in window)
    inside = whole[(whole.index.asi8 >= lo) & (whole.index.asi8 < hi)] if window[1] else whole[whole.index.asi8 >= lo]
    assert df.index.asi8[0] == lo
    np.testing.assert_array_equal(df.index.asi8, inside.index.asi8)
    np.testing.assert_array_equal(df.values.view("u4"), inside.values.view("u4"))


def test_start_between_grid_points_starts_the_grid_there(cwa):
    # Grid point 0 is the start itself: (S * 1000) / 1000 would truncate to 1 us more here.
    path = cwa(contiguous_blocks(3))
    df = check(path, tiltgram.seconds(1.2165578, 2.0), resample_hz=100)
    assert df.index.asi8[0] == to_us(T2020 + 1.2165578) == 1577836801216557
    assert df.index.asi8[-1] < (T2020 + 2) * 10**6
    assert len(df) == 79


def test_seconds_zero_starts_at_the_first_sample(cwa):
    # Natural start ...59.9099998 s, first sample stamped ...59.909999 s: the cut is anchored
    # at the stamped time, so the first row is that sample, gyroscope copied.
    path = cwa([packet(format=0x62, timestamp_offset=9, samples=builders.random_samples(0x62, 40, random.Random(9)))])
    plain = read(path)
    assert plain.index.asi8[0] == 1577836799909999
    df = check(path, tiltgram.seconds(0, 0.2), resample_hz=50)
    assert df.index.asi8[0] == plain.index.asi8[0]
    np.testing.assert_array_equal(df.iloc[0].values.view("u4"), plain.iloc[0].values.view("u4"))


def test_crammed_samples_are_interpolated_linearly(cwa):
    # Block 1 (200 Hz, stamped 1 s, offset 79) ends 5 ms after block 0's natural end, where its
    # first sample is moved: its 120 samples lie about 42 us apart, so every Lagrange denominator
    # of four of them is below 1e-12 s^3 and each row between them lies between its two samples.
    crammed = packet(timestamp=pack_time(2020, 1, 1, 0, 0, 1), timestamp_offset=79, rate_code=0x4B,
                     samples=builders.random_samples(0x30, 120, random.Random(5)))
    path = cwa(contiguous_blocks(1) + [crammed] + contiguous_blocks(1, start=pack_time(2020, 1, 1, 0, 0, 3)))
    plain = read(path)
    first, last = plain.index.asi8[121], plain.index.asi8[238]   # inner samples of block 1
    assert (plain.index.asi8[239] - plain.index.asi8[120]) < 5000
    df = check(path, tiltgram.seconds(1.199, 1.206), resample_hz=10000)
    rows = df[(df.index.asi8 > first) & (df.index.asi8 < last)]
    assert len(rows) > 40
    for when, row in zip(rows.index.asi8, rows[["acc_x", "acc_y", "acc_z"]].values):
        j = np.searchsorted(plain.index.asi8, when, side="right") - 1
        around = plain[["acc_x", "acc_y", "acc_z"]].values[j - (plain.index.asi8[j] == when):j + 2]
        assert (around.min(axis=0) <= row).all() and (row <= around.max(axis=0)).all()


# Block 0: one sample at 0.0 (12.5 Hz); block 1: 40 6-axis samples at 3200 Hz whose natural end
# lies one double step after 0.08, where the continuity moves them: all at 0.08 s; block 2 at 3 s.
SHARED_TIME = [packet(rate_code=0x47, samples=[(1, 2, 3, 0)]),
               packet(format=0x62, timestamp=pack_time(2020, 1, 1, 0, 0, 2), timestamp_offset=6184,
                      rate_code=0x4F, samples=builders.random_samples(0x62, 40, random.Random(3))),
               contiguous_blocks(1, start=pack_time(2020, 1, 1, 0, 0, 3))[0]]


@pytest.mark.parametrize("cut, hz, row", [(None, 12.5, 1), (tiltgram.blocks(1), 10, 0)],
                         ids=["grid-point-on-the-time", "read-starting-there"])
def test_samples_sharing_a_time_give_the_first_of_them(cwa, cut, hz, row):
    path = cwa(SHARED_TIME)
    plain = read(path)
    assert (plain.index.asi8[1:41] == T2020 * 10**6 + 80000).all()
    df = check(path, cut, resample_hz=hz)
    assert df.index.asi8[row] == T2020 * 10**6 + 80000
    np.testing.assert_array_equal(df.iloc[row].values.view("u4"), plain.iloc[1].values.view("u4"))
    # Later rows bridge the gap linearly from the last of them: no gyroscope value there.
    assert (df["gyro_x"].values[row + 1:].view("u4") == NAN_BITS).all()


# Block 0: 3-axis, 80 samples at 100 Hz from 0.0; block 1: 6-axis, stamped 1.0, moved to 0.8.
GYRO_LATER = [packet(format=0x32, samples=[(100 * i, -i, 7) for i in range(80)]),
              packet(format=0x62, timestamp=pack_time(2020, 1, 1, 0, 0, 1),
                     samples=[(i, 2 * i, 3 * i, 4, 5, 6) for i in range(40)])]


@pytest.mark.parametrize("cut, gyro", [
    (None, "later"),
    (tiltgram.seconds(end=0.8), None),          # 6-axis samples lie at or after the end
    (tiltgram.seconds(end=0.8000005), "nan"),   # one selected 6-axis sample, no row near it
    (tiltgram.seconds(0.9), "all"),
], ids=["whole", "end-before-gyro", "end-just-after-gyro", "start-after-gyro"])
def test_gyroscope_columns_appear_with_a_selected_sample(cwa, cut, gyro):
    df = check(cwa(GYRO_LATER), cut, resample_hz=7)
    if gyro is None:
        assert "gyro_x" not in df.columns
        return
    rows = df[["gyro_x", "gyro_y", "gyro_z"]].values
    after = df.index.asi8 >= T2020 * 10**6 + 800000   # the first 6-axis sample
    assert {"nan": 0, "later": 4, "all": len(df)}[gyro] == after.sum()
    assert (rows[~after].view("u4") == NAN_BITS).all()
    assert not np.isnan(rows[after]).any()


def io_read_bytes():
    with open("/proc/self/io") as fh:
        return int(next(line for line in fh if line.startswith("rchar:")).split()[1])


def test_reading_stops_once_the_grid_reaches_the_end_bound(cwa):
    # Block 0 spans 0.0 .. 1.2 s; the 6-axis blocks after it were recorded with the clock set
    # back 1000 s, so they all start before the end bound 1.0 and the plan covers them all.
    # Their samples lie inside the bounds: reading any of them adds the gyroscope columns, as
    # in the plain read of the same cut and in the resampled read without an end bound.
    set_back = contiguous_blocks(1, format=0x62, start=pack_time(2019, 12, 31, 23, 43, 20))
    cut = tiltgram.seconds(end=1.0)
    path = cwa(contiguous_blocks(1) + set_back * 5)
    assert "gyro_x" in read(path, cut=cut).columns
    assert "gyro_x" in read(path, resample_hz=100).columns
    df = check(path, cut, resample_hz=100)
    assert "gyro_x" not in df.columns and len(df) == 100

    if not os.path.exists("/proc/self/io"):
        return
    path = cwa(contiguous_blocks(1) + set_back * 20000)   # 10 MB
    size = os.path.getsize(path)
    before = io_read_bytes()
    read(path, cut=cut)                   # the plan's scan, then every planned block
    plain = io_read_bytes() - before - size
    before = io_read_bytes()
    read(path, cut=cut, resample_hz=100)  # the plan's scan, then the first blocks only
    resampled = io_read_bytes() - before - size
    if plain < 0.9 * size:
        pytest.skip("the file reads are not visible in /proc/self/io")
    assert resampled < plain / 4   # leaves room for a read-ahead buffer


def test_write_cwa_csv_writes_the_rows_of_the_resampled_read(cwa, tmp_path):
    def fixed(x, places):
        x = float(x)
        return "NaN" if math.isnan(x) else str(Decimal(x).quantize(Decimal(10) ** -places, ROUND_HALF_EVEN))

    path = cwa(GYRO_LATER)
    kwargs = dict(cut=tiltgram.seconds(0.33, 1.1), include_magnetometer=True, include_temperature=True,
                  include_light=False, include_battery=True, resample_hz=60,
                  fixed_utc_offset_timezone=dt.timezone(dt.timedelta(hours=-3)))
    df = read(path, **kwargs)
    out = str(tmp_path / "out.csv")
    tiltgram.write_cwa_csv(path, out, **kwargs)
    lines = [",".join(["time"] + list(df.columns))] + [
        ",".join([fixed(t / 1e6, 4)] + [fixed(v, 6) for v in row])
        for t, row in zip(df.index.asi8, df.values)]
    with open(out, newline="") as fh:
        assert fh.read() == "\n".join(lines) + "\n"
    assert "NaN" in lines[1] and "NaN" not in lines[-1]


PEAK_SCRIPT = """
import sys
import tiltgram

def hwm_bytes():
    with open("/proc/self/status") as fh:
        return 1024 * int(next(l for l in fh if l.startswith("VmHWM:")).split()[1])

tiltgram.read_cwa_file(sys.argv[1], cut=tiltgram.blocks(0, 2))  # imports pandas and numpy
base = hwm_bytes()
df = tiltgram.read_cwa_file(sys.argv[1], resample_hz=2000)
nbytes = df.index.values.nbytes + sum(df[c].values.nbytes for c in df.columns)
print(hwm_bytes() - base, nbytes, len(df))
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_output_memory_follows_the_time_span_of_the_recording(cwa):
    # A first block at 12.5 Hz spans 9.6 s; the 600 blocks at 100 Hz after it span 1.2 s
    # each, and the recording ends with a sector that is not a data packet. Sizing the
    # output from the first block alone would ask for eight times the rows.
    slow = contiguous_blocks(1, rate_code=0x47)
    fast = contiguous_blocks(600, start=pack_time(2020, 1, 1, 0, 0, 10), seed=1)
    path = cwa([b.data for b in slow + fast] + [bytes(512)])
    run = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, path], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    grown, nbytes, rows = map(int, run.stdout.split())
    assert rows == 729_99 * 20 + 1   # 0 to 729.99 s (the last sample) at 2000 Hz
    assert grown <= 1.25 * nbytes + (24 << 20)
