"""write_cwa_csv: layout and exact value text on every route, time zones, refusals and errors,
and the moments at which buffered text reaches the file."""

import datetime as dt
import errno
import math
import os
import struct
import subprocess
import sys
import textwrap
from decimal import ROUND_HALF_EVEN, Decimal

import numpy as np
import pytest

import builders
import reference
import tiltgram
from builders import contiguous_blocks, decode_sample, pack_time, packet

ANCHOR_S = 1577836800  # 2020-01-01T00:00:00, the first sample of every recording here
ENOSPC = f"{os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})"
EFBIG = f"{os.strerror(errno.EFBIG)} (os error {errno.EFBIG})"
SPILL = 16 * 2**20 + 8192 + 1  # produced bytes at which the file gets its first write
READINGS = dict(include_temperature=True, include_light=True, include_battery=True)


def f6(x):
    x = float(x)
    return "NaN" if math.isnan(x) else str(Decimal(x).quantize(Decimal("1e-6"), ROUND_HALF_EVEN))


def t4(us):
    return str(Decimal(us / 1e6).quantize(Decimal("1e-4"), ROUND_HALF_EVEN))


def reference_csv(blocks, include_magnetometer=True, include_temperature=False,
                  include_light=False, include_battery=False):
    """The expected streamed CSV of a recording made of `blocks`, from the builders' decoders."""
    gyro = any(b.format > 0x5F for b in blocks)
    mag = include_magnetometer and any(b.format >> 4 == 9 for b in blocks)
    names = ["time", "acc_x", "acc_y", "acc_z"] + ["gyro_x", "gyro_y", "gyro_z"] * gyro
    names += ["mag_x", "mag_y", "mag_z"] * mag
    flags = (include_temperature, include_light, include_battery)
    names += [n for n, on in zip(("temperature", "light", "battery"), flags) if on]
    lines, prev = [",".join(names)], None
    for b in blocks:
        times, prev = builders.sample_times_us(b.timestamp, b.timestamp_offset, b.rate_code,
                                               b.sample_count, prev)
        raw_t, raw_b = struct.unpack_from("<H", b.data, 20)[0], b.data[23]
        readings = (builders.temperature_c(raw_t), builders.light_lux(b.light), builders.battery_v(raw_b))
        tail = [f6(v) for v, on in zip(readings, flags) if on]
        for t, s in zip(times, b.samples):
            d = decode_sample(b.format, s, b.light, include_magnetometer)
            cols = names[1:len(names) - len(tail)]
            lines.append(",".join([t4(t)] + [f6(d.get(c, math.nan)) for c in cols] + tail))
    return "\n".join(lines) + "\n"


def blocks_at(formats, **fields):
    """One block per format, ten seconds apart, each with its own samples."""
    return [contiguous_blocks(1, start=pack_time(2020, 1, 1, 0, 0, 10 * k), format=f, seed=k, **fields)[0]
            for k, f in enumerate(formats)]


@pytest.fixture
def csv(tmp_path):
    """csv(recording, **kwargs) -> the text write_cwa_csv produces."""

    def run(path, **kwargs):
        out = str(tmp_path / "out.csv")
        tiltgram.write_cwa_csv(path, out, **kwargs)
        with open(out, newline="") as fh:
            return fh.read()
    return run


# --- layout and values ---------------------------------------------------------------------------

LAYOUTS = {
    "3-axis-defaults": ([0x30, 0x30], {}),
    "mixed-3-6-9": ([0x32, 0x62, 0x92, 0x30], {}),
    "9-axis-without-magnetometer": ([0x92, 0x62], {"include_magnetometer": False}),
    "6-axis-all-readings": ([0x62, 0x62], READINGS),
}


@pytest.mark.parametrize("formats, kwargs", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_streamed_csv_matches_reference(cwa, csv, formats, kwargs):
    blocks = blocks_at(formats, temperature=300, battery=100, raw_light=341, gyro_scale_code=3)
    assert csv(cwa(blocks), **kwargs) == reference_csv(blocks, **kwargs)


def test_many_distinct_and_repeated_values_match_reference(cwa, csv):
    # Thousands of distinct accelerometer values, each block's samples written twice: the
    # streamed route's text of a value must not depend on the values written before it.
    first = contiguous_blocks(40, format=0x32, seed=3)
    again = contiguous_blocks(40, start=pack_time(2020, 1, 1, 1), format=0x32, seed=3)
    mixed = contiguous_blocks(8, start=pack_time(2020, 1, 1, 2), format=0x62, seed=4, gyro_scale_code=3)
    blocks = first + again + mixed
    assert len({s for b in first for s in b.samples}) > 3000
    assert csv(cwa(blocks)) == reference_csv(blocks)


def test_exact_line_text(cwa, csv):
    rec = cwa([packet(format=0x32, samples=[(1, 2, 3), (-12800, 0, 25)], battery=100)])
    assert csv(rec, **READINGS) == (
        "time,acc_x,acc_y,acc_z,temperature,light,battery\n"
        "1577836800.0000,0.003906,0.007812,0.011719,-50.000000,1.000000,3.585938\n"
        "1577836800.0100,-50.000000,0.000000,0.097656,-50.000000,1.000000,3.585938\n")


@pytest.mark.parametrize("cut", [tiltgram.blocks(end=0), tiltgram.blocks(1, 2)], ids=["no-block", "no-packet"])
def test_header_only_when_nothing_is_selected(cwa, csv, cut):
    rec = cwa(contiguous_blocks(1) + [bytes(512)])
    assert csv(rec, cut=cut, **READINGS) == "time,acc_x,acc_y,acc_z,temperature,light,battery\n"


@pytest.mark.parametrize("window, header", [
    ((0.5, 10.2), "time,acc_x,acc_y,acc_z,gyro_x,gyro_y,gyro_z,temperature"),  # NaN in 3-axis rows
    ((0.5, 1.0), "time,acc_x,acc_y,acc_z,temperature"),  # only 3-axis rows: gyro columns dropped
], ids=["across-formats", "3-axis-window"])
def test_collected_rows_are_the_streamed_rows_in_the_window(cwa, csv, window, header):
    rec = cwa(blocks_at([0x30, 0x62]))
    streamed = csv(rec, include_temperature=True).splitlines()
    lo, hi = (Decimal(ANCHOR_S) + Decimal(w) for w in window)
    expected = [line for line in streamed[1:] if lo <= Decimal(line.split(",")[0]) < hi]
    if "gyro" not in header:
        expected = [",".join(line.split(",")[:4] + line.split(",")[-1:]) for line in expected]
    collected = csv(rec, cut=tiltgram.seconds(*window), include_temperature=True).splitlines()
    assert collected == [header] + expected and len(expected) > 10
    assert csv(rec, cut=tiltgram.seconds(), include_temperature=True).splitlines() == streamed


def test_resampled_rows_are_the_resampled_read(cwa, csv):
    rec = cwa(blocks_at([0x62, 0x62]))
    df = tiltgram.read_cwa_file(rec, resample_hz=40, include_light=False, include_battery=False)
    cols = list(df.columns)
    lines = [",".join(["time"] + cols)] + [
        ",".join([t4(int(t))] + [f6(df[c].iloc[i]) for c in cols]) for i, t in enumerate(df.index.asi8)]
    assert csv(rec, resample_hz=40, include_temperature=True).splitlines() == lines


@pytest.mark.parametrize("cut", [None, tiltgram.seconds(0.5, 11)], ids=["streamed", "collected"])
def test_time_zone_shifts_time_only(cwa, csv, cut):
    rec = cwa(blocks_at([0x30, 0x62]))
    plain = csv(rec, cut=cut).splitlines()
    assert csv(rec, cut=cut, fixed_utc_offset_timezone=dt.timezone.utc).splitlines() == plain
    shifted = csv(rec, cut=cut, fixed_utc_offset_timezone=dt.timezone(dt.timedelta(hours=2))).splitlines()
    assert len(shifted) == len(plain) > 100 and shifted[0] == plain[0]
    for a, b in zip(plain[1:], shifted[1:]):
        ta, _, rest_a = a.partition(",")
        tb, _, rest_b = b.partition(",")
        assert (Decimal(ta) - Decimal(tb), rest_b) == (7200, rest_a)


class _FixedZone(dt.tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, when):
        return self.offset


@pytest.mark.parametrize("route", ["streamed", "collected", "resampled"])
@pytest.mark.parametrize("offset", [dt.timedelta(days=-999999999), dt.timedelta(microseconds=-(2**63 - 10**15))],
                         ids=["offset-too-large", "shift-too-large"])
def test_offsets_out_of_range_raise_overflow_error(cwa, tmp_path, route, offset):
    rec = cwa(blocks_at([0x30]))
    out = tmp_path / "out.csv"
    out.write_text("keep")
    kwargs = {"streamed": {}, "collected": {"cut": tiltgram.seconds(0, 0.5)}, "resampled": {"resample_hz": 10}}[route]
    with pytest.raises(OverflowError) as exc:
        tiltgram.write_cwa_csv(rec, str(out), fixed_utc_offset_timezone=_FixedZone(offset), **kwargs)
    assert str(exc.value) == (reference.OFFSET_OVERFLOW if offset.days == -999999999 else reference.SHIFT_OVERFLOW)
    assert out.read_text() == "keep"


@pytest.mark.parametrize("past_limit", [0, 1], ids=["last-time-on-limit", "last-time-past-limit"])
def test_streamed_shift_is_checked_to_the_microsecond_before_the_output(cwa, tmp_path, past_limit):
    rec = cwa(contiguous_blocks(3) + [packet(timestamp=pack_time(2020, 1, 1, 0, 0, 1))])
    last_us = int(tiltgram.read_cwa_file(rec).index.asi8.max())
    zone = _FixedZone(dt.timedelta(microseconds=-(2**63 - 1 - last_us) - past_limit))
    out = tmp_path / "out.csv"
    out.write_text("keep")
    if past_limit:
        with pytest.raises(OverflowError):
            tiltgram.write_cwa_csv(str(rec), str(out), fixed_utc_offset_timezone=zone)
        assert out.read_text() == "keep"
    else:
        tiltgram.write_cwa_csv(str(rec), str(out), fixed_utc_offset_timezone=zone)
        lines = out.read_text().splitlines()
        assert len(lines) == 1 + 4 * 120
        assert max(Decimal(line.split(",")[0]) for line in lines[1:]) > Decimal("9223372036854.77")


# --- refusals and errors -------------------------------------------------------------------------

ROUTES = {"streamed": {}, "collected": {"cut": tiltgram.seconds(0, 0.5)}, "resampled": {"resample_hz": 10}}


@pytest.mark.parametrize("spelling", ["same", "dot", "hard-link", "symlink"])
@pytest.mark.parametrize("route", ROUTES.values(), ids=ROUTES.keys())
def test_output_naming_the_recording_is_refused(cwa, tmp_path, spelling, route):
    rec = cwa(contiguous_blocks(2))
    before = open(rec, "rb").read()
    out = {"same": rec, "dot": os.path.join(os.path.dirname(rec), ".", os.path.basename(rec)),
           "hard-link": str(tmp_path / "link.csv"), "symlink": str(tmp_path / "sym.csv")}[spelling]
    if spelling == "hard-link":
        os.link(rec, out)
    elif spelling == "symlink":
        os.symlink(rec, out)
    with pytest.raises(RuntimeError, match="^output_path must not be the input recording$"):
        tiltgram.write_cwa_csv(rec, out, **route)
    assert open(rec, "rb").read() == before


@pytest.mark.parametrize("route", ["streamed", "collected"])
@pytest.mark.parametrize("target, text", [
    ("missing-dir", f"IO error: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"),
    ("/dev/full", f"IO error: {ENOSPC}"),  # small output: fails at the final flush
])
def test_output_errors_are_io_errors(cwa, tmp_path, route, target, text):
    if target == "/dev/full" and not os.path.exists(target):
        pytest.skip("no /dev/full")
    out = str(tmp_path / "no" / "out.csv") if target == "missing-dir" else target
    with pytest.raises(RuntimeError) as exc:
        tiltgram.write_cwa_csv(cwa(contiguous_blocks(2)), out, **ROUTES[route])
    assert str(exc.value) == text


@pytest.mark.parametrize("sectors, kwargs, message", [
    ([0x30, "bad"], {}, "Unsupported sample format: 3 axes, packing 3"),  # in the channel scan
    ([0x30], {"cut": tiltgram.seconds(0.001, 0.005)}, "No samples remain after applying time range"),
    (["single"], {"resample_hz": 10}, "No samples remain after applying time range/resampling"),
], ids=["scan", "filter", "resample"])
def test_failed_read_leaves_existing_output_untouched(cwa, tmp_path, sectors, kwargs, message):
    made = {0x30: contiguous_blocks(1)[0], "bad": packet(format=0x33), "single": packet(samples=[(1, 2, 3)])}
    out = tmp_path / "out.csv"
    out.write_text("keep me\n")
    with pytest.raises(RuntimeError) as exc:
        tiltgram.write_cwa_csv(cwa([made[s] for s in sectors]), str(out), **kwargs)
    assert str(exc.value) == message
    assert out.read_text() == "keep me\n"


# --- when buffered text reaches the file ---------------------------------------------------------

@pytest.fixture(scope="module")
def long_csv(tmp_path_factory):
    """A 9-axis recording whose streamed CSV (all readings) passes 32 MiB, that CSV, and the
    offsets of its line feeds."""
    rng, sectors = np.random.default_rng(7), []
    for k in range(9300):
        second = -(-26 * k // 100)  # the whole second of one of the block's samples
        sectors.append(packet(
            timestamp=builders.pack_datetime(dt.datetime(2020, 1, 1) + dt.timedelta(seconds=second)),
            timestamp_offset=100 * second - 26 * k, format=0x92, temperature=k % 1024, battery=k % 256,
            samples=rng.integers(-32768, 32768, size=26 * 9, dtype="<i2").tobytes()))
    d = tmp_path_factory.mktemp("long")
    rec = builders.write(d / "long.cwa", builders.recording(builders.header(), sectors))
    tiltgram.write_cwa_csv(rec, str(d / "long.csv"), **READINGS)
    text = (d / "long.csv").read_bytes()
    return rec, text, np.flatnonzero(np.frombuffer(text, np.uint8) == 10)


def window_of_size(long_csv, size):
    """A seconds cut (start, end texts) whose output, the header and data lines s..e, is
    exactly `size` bytes; and that output."""
    _, text, feeds = long_csv
    header = int(feeds[0]) + 1  # data line i ends at feeds[i + 1]
    starts = np.arange(1, len(feeds) - 2)
    ends = feeds[starts] + size - header
    idx = np.minimum(np.searchsorted(feeds, ends), len(feeds) - 2)
    k = np.flatnonzero(feeds[idx] == ends)[0]
    s, e = int(starts[k]), int(idx[k]) - 1

    def t(i):  # seconds after the first sample
        return Decimal(text[feeds[i] + 1:feeds[i + 1]].split(b",")[0].decode()) - ANCHOR_S

    cut = ((t(s - 1) + t(s)) / 2, (t(e) + t(e + 1)) / 2)
    return [str(float(v)) for v in cut], text[:header] + text[feeds[s] + 1:feeds[e + 1] + 1]


SIZE_LIMITED = textwrap.dedent("""
    import resource, signal, sys, tiltgram
    rec, out, limit, start, end = sys.argv[1:]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
    try:
        tiltgram.write_cwa_csv(rec, out, cut=tiltgram.seconds(float(start), float(end)),
                               include_temperature=True, include_light=True, include_battery=True)
    except RuntimeError as e:
        print(e)
""")


@pytest.mark.parametrize("size, limit, error", [
    (SPILL - 1, 1000, f"IO error: {EFBIG}"),  # nothing reaches the file before the flush
    (SPILL, 1000, EFBIG),  # the first write, made by the line that ends at byte SPILL
    (SPILL - 1 + 2**24, 2**24 + 1000, f"IO error: {EFBIG}"),
    (SPILL + 2**24, 2**24 + 1000, EFBIG),  # the second write, 16 MiB later
], ids=["first-below", "first-reached", "second-below", "second-reached"])
def test_file_writes_happen_at_16_mib_plus_one_chunk_plus_one_byte(long_csv, tmp_path, size, limit, error):
    # The file takes `limit` bytes and the write that passes it fails part way; the file then
    # holds exactly the first `limit` bytes of the output.
    cut, body = window_of_size(long_csv, size)
    out = tmp_path / "out.csv"
    run = subprocess.run([sys.executable, "-c", SIZE_LIMITED, long_csv[0], str(out), str(limit), *cut],
                         capture_output=True, text=True, timeout=300)
    assert (run.returncode, run.stdout.strip()) == (0, error), run.stderr
    assert out.read_bytes() == body[:limit]
