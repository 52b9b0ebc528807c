"""Activity summaries (tiltgram_tools.summarize): the block walk they stand on, calibration
against gravity, non-wear, and epochs and days against a plain NumPy computation of the same
definitions over read_cwa_file's frame."""

from __future__ import annotations

import datetime as dt
import gzip
import itertools
import math
import os
import random
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import builders
import tiltgram
from builders import pack_datetime, packet
from test_read import random_recording
from tiltgram_tools import _activity, summarize

# --- recordings made from arrays of samples ----------------------------------------------

SCALE = 4096  # accelerometer counts per g: scale exponent 4
CAP = 80      # samples per unpacked 3-axis packet


def blocks_of(start: dt.datetime, g: np.ndarray, rate_code: int, temperature_c=25.0,
              light_raw: int = 200) -> list[bytes]:
    """Packets of the samples `g` (n x 3, in g) from `start` (a whole second), stamped as a
    device stamps them; `temperature_c` is one value or one per packet."""
    rate = Fraction(3200, 2 ** (15 - (rate_code & 0x0F)))
    counts = np.clip(np.round(np.asarray(g) * SCALE), -32768, 32767).astype("<i2")
    n_blocks = len(counts) // CAP
    temps = np.broadcast_to(np.asarray(temperature_c, dtype=float), (n_blocks,))
    out = []
    for k in range(n_blocks):
        first = Fraction(k * CAP) / rate
        second = math.ceil(first / rate.denominator) * rate.denominator
        offset = int(second * rate) - k * CAP
        raw_t = int(round((temps[k] + 50) * 256 / 75))
        out.append(packet(timestamp=pack_datetime(start + dt.timedelta(seconds=int(second))),
                          timestamp_offset=offset, rate_code=rate_code, format=0x32,
                          samples=counts[k * CAP:(k + 1) * CAP].tobytes(), sample_count=CAP,
                          accel_scale_exp=4, temperature=raw_t, raw_light=light_raw))
    return out


def still(direction, seconds: float, rate: float, rng, noise_g: float = 0.0015) -> np.ndarray:
    u = np.asarray(direction, dtype=float)
    u = u / np.linalg.norm(u)
    n = int(round(seconds * rate))
    return u + rng.normal(0, noise_g, size=(n, 3))


def moving(seconds: float, rate: float, rng) -> np.ndarray:
    n = int(round(seconds * rate))
    return np.array([0.0, 0.0, 1.0]) + rng.normal(0, 0.25, size=(n, 3))


def write_rec(tmp_path, name: str, rate_code: int, segments) -> str:
    """`segments`: (start datetime, g array, temperature per packet or one value)."""
    sectors = []
    for start, g, temps in segments:
        sectors += blocks_of(start, g, rate_code, temps)
    return builders.write(tmp_path / name, builders.recording(builders.header(rate_code=rate_code), sectors))


# --- the block walk ------------------------------------------------------------------------

def walk_outcome(path, start=None, count=None):
    try:
        cols = _activity._walk(path, start, count)
    except Exception as exc:  # noqa: BLE001 - the outcome is compared whole
        return type(exc).__name__, str(exc)
    return "ok", {k: v for k, v in cols.items()}


def read_outcome(path, start=None, count=None):
    cut = None
    if start is not None or count is not None:
        s = start or 0
        cut = tiltgram.blocks(s, None if count is None else s + count)
    try:
        df = tiltgram.read_cwa_file(path, cut=cut)
    except Exception as exc:  # noqa: BLE001
        return type(exc).__name__, str(exc)
    cols = {"time": df.index.as_unit("us").asi8.astype("<i8").tobytes()}
    for c in ("acc_x", "acc_y", "acc_z", "temperature", "light", "battery"):
        cols[c] = df[c].to_numpy().tobytes()
    return "ok", cols


def test_walk_gives_the_plain_reads_samples_times_and_errors(tmp_path):
    """Random recordings (formats, rates, gaps, overlaps, clock set-backs, non-data sectors),
    whole and cut by blocks, plain and gzip: the walk's samples, times and errors are the
    plain read's."""
    rng = random.Random(23)
    checked = 0
    for i in range(40):
        data, _ = random_recording(rng)
        for name, content in (("plain.cwa", data), ("packed.cwa", gzip.compress(data, mtime=0))):
            path = builders.write(tmp_path / name, content)
            nblocks = (len(data) - 1024) // 512
            cuts = [(None, None), (rng.randint(0, nblocks), rng.choice([None, rng.randint(1, 6)]))]
            for start, count in cuts:
                assert walk_outcome(path, start, count) == read_outcome(path, start, count), (i, name, start, count)
                checked += 1
    assert checked == 160


@pytest.mark.parametrize("case", ["bad format", "count past capacity", "old format",
                                  "truncated", "bad gzip crc"])
def test_walk_fails_where_the_plain_read_fails(tmp_path, case):
    good = builders.contiguous_blocks(6, format=0x32)
    sectors = [bytes(b) for b in good]
    trailing = b""
    if case == "bad format":
        sectors[3] = packet(format=0x31)
    elif case == "count past capacity":
        sectors[3] = packet(format=0x32, sample_count=81)
    elif case == "old format":
        sectors[3] = packet(rate_code=0)
    elif case == "truncated":
        trailing = b"\x00" * 100
    data = builders.recording(builders.header(), sectors, trailing)
    if case == "bad gzip crc":
        packed = bytearray(gzip.compress(data, mtime=0))
        packed[-8] ^= 0xFF
        data = bytes(packed)
    path = builders.write(tmp_path / "bad.cwa", data)
    expected = read_outcome(path)
    assert expected[0] == "RuntimeError"
    assert walk_outcome(path) == expected
    # The summary fails the same way.
    with pytest.raises(RuntimeError) as err:
        summarize(path)
    assert str(err.value) == expected[1]


# --- a plain NumPy computation of the method -------------------------------------------------

def reference(df: pd.DataFrame, rate_hz: float, cal: dict, epoch_s: int = 30) -> dict:
    """The method's definitions, computed over the frame of read_cwa_file."""
    t = df.index.as_unit("us").asi8
    a = df[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    temp = df["temperature"].to_numpy(np.float64)
    light = df["light"].to_numpy(np.float64)

    w = t // 10_000_000
    g = pd.DataFrame(a).groupby(w)
    counts = g.size().to_numpy()
    wid = g.size().index.to_numpy()
    means, sds = g.mean().to_numpy(), g.std(ddof=0).to_numpy()
    still = (counts >= 0.8 * rate_hz * 10) & (sds < 0.013).all(axis=1) & (np.abs(means) < 2).all(axis=1)
    periods, run = [], []
    for k, is_still in zip(wid, still):
        if is_still and run and k == run[-1] + 1:
            run.append(k)
            continue
        if len(run) * 10 >= 3600:
            periods.append((run[0], run[-1]))
        run = [k] if is_still else []
    if len(run) * 10 >= 3600:
        periods.append((run[0], run[-1]))
    nonwear_sample = np.zeros(len(t), dtype=bool)
    for lo, hi in periods:
        nonwear_sample |= (w >= lo) & (w <= hi)

    if cal["status"] == "ok":
        o, s, c = (np.array(cal[k]) for k in ("offset", "scale", "temperature_coef"))
        a = (o + s * a) + c * (temp - cal["temperature_ref"])[:, None]
    r = np.sqrt((a * a).sum(axis=1))

    e_us = epoch_s * 1_000_000
    e = t // e_us
    ids = np.arange(e.min(), e.max() + 1)
    frame = pd.DataFrame({"e": e, "enmo": np.maximum(0, r - 1), "r": r, "x": a[:, 0], "y": a[:, 1],
                          "z": a[:, 2], "temperature": temp, "light": light, "nw": nonwear_sample})
    grouped = frame.groupby("e")
    mean = grouped.mean().reindex(ids)
    n = grouped.size().reindex(ids).fillna(0).to_numpy()
    frame["dev"] = np.abs(frame["r"] - frame["e"].map(grouped["r"].mean()))
    mad = frame.groupby("e")["dev"].mean().reindex(ids).to_numpy()
    epochs = pd.DataFrame({
        "samples": n, "enmo_mg": 1000 * mean["enmo"].to_numpy(), "mad_mg": 1000 * mad,
        "x": mean["x"].to_numpy(), "y": mean["y"].to_numpy(), "z": mean["z"].to_numpy(),
        "temperature": mean["temperature"].to_numpy(), "light": mean["light"].to_numpy(),
        "nonwear": (mean["nw"].to_numpy() >= 0.5) & (n > 0),
    })
    starts = ids * e_us
    day = starts // 86_400_000_000
    worn = (n > 0) & ~epochs["nonwear"].to_numpy()
    enmo = epochs["enmo_mg"].to_numpy()
    days = []
    for d in range(t.min() // 86_400_000_000, t.max() // 86_400_000_000 + 1):
        sel = day == d
        wv = enmo[sel & worn]
        nw = int((sel & epochs["nonwear"].to_numpy()).sum())
        row = {"wear_h": len(wv) * epoch_s / 3600, "nonwear_h": nw * epoch_s / 3600,
               "nodata_h": (86400 // epoch_s - len(wv) - nw) * epoch_s / 3600,
               "enmo_mg": wv.mean() if len(wv) else np.nan,
               "sedentary_min": (wv < 45.8).sum() * epoch_s / 60,
               "light_min": ((wv >= 45.8) & (wv < 93.2)).sum() * epoch_s / 60,
               "moderate_min": ((wv >= 93.2) & (wv < 418.3)).sum() * epoch_s / 60,
               "vigorous_min": (wv >= 418.3).sum() * epoch_s / 60}
        row["valid"] = row["wear_h"] >= 16
        days.append(row)
    slot = (starts % 86_400_000_000) // e_us
    slots = pd.Series(enmo[worn]).groupby(slot[worn]).mean()
    return {
        "epochs": epochs, "days": pd.DataFrame(days), "epoch_starts": starts,
        "day_starts": np.arange(t.min() // 86_400_000_000, t.max() // 86_400_000_000 + 1) * 86_400_000_000,
        "nonwear": [(lo * 10_000_000, (hi + 1) * 10_000_000) for lo, hi in periods],
        "enmo_mg": enmo[worn].mean() if worn.any() else np.nan,
        "enmo_mg_imputed": slots.mean() if len(slots) else np.nan,
        "first": t.min(), "last": t.max(),
    }


def assert_matches(result, df, rate_hz, epoch_s=30):
    ref = reference(df, rate_hz, result.recording["calibration"], epoch_s)
    ep = result.epochs
    assert ep.index.as_unit("us").asi8.tolist() == ref["epoch_starts"].tolist()
    assert list(ep.columns) == list(ref["epochs"].columns)
    for c in ref["epochs"].columns:
        got, want = ep[c].to_numpy(), ref["epochs"][c].to_numpy()
        if c == "nonwear":
            assert got.dtype == bool and (got == want).all(), c
        else:
            assert got.dtype == np.float64
            np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9, err_msg=c)
    days = result.days
    assert days.index.as_unit("us").asi8.tolist() == ref["day_starts"].tolist()
    for c in ref["days"].columns:
        got, want = days[c].to_numpy(), ref["days"][c].to_numpy()
        if c == "valid":
            assert (got == want).all()
        else:
            np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9, err_msg=c)
    nw = result.nonwear
    got_periods = list(zip(pd.DatetimeIndex(nw["start"]).as_unit("us").asi8.tolist(),
                           pd.DatetimeIndex(nw["end"]).as_unit("us").asi8.tolist()))
    assert got_periods == ref["nonwear"]
    rec = result.recording
    np.testing.assert_allclose([rec["enmo_mg"], rec["enmo_mg_imputed"]],
                               [ref["enmo_mg"], ref["enmo_mg_imputed"]], rtol=1e-9)
    assert rec["wear_h"] == pytest.approx(days["wear_h"].sum())
    assert rec["wear_h"] + rec["nonwear_h"] + rec["nodata_h"] == pytest.approx(24 * len(days))
    assert rec["valid_days"] == int(days["valid"].sum())
    assert pd.Timestamp(rec["first_sample"]).value // 1000 == ref["first"]
    assert pd.Timestamp(rec["last_sample"]).value // 1000 == ref["last"]
    return ref


# --- calibration -----------------------------------------------------------------------------

DIRECTIONS = [np.array(v, dtype=float) for v in itertools.product((-1, 0, 1), repeat=3) if any(v)]
OFFSET = np.array([0.04, -0.03, 0.02])
GAIN = np.array([0.98, 1.03, 1.01])
TCOEF = np.array([0.002, -0.001, 0.0015])  # g per degC, about 25 degC


def device_recording(tmp_path, directions, still_s=100.0, move_s=20.0, name="dev.cwa", seed=5,
                     temperature=(20.0, 35.0)):
    """A device with OFFSET, GAIN and TCOEF turned through `directions`, each held still for
    `still_s` between `move_s` of movement, while its temperature rises across `temperature`."""
    rng = np.random.default_rng(seed)
    rate_code, rate = 0x47, 12.5
    parts = []
    for d in directions:
        parts += [still(d, still_s, rate, rng), moving(move_s, rate, rng)]
    true = np.concatenate(parts)
    n_blocks = len(true) // CAP
    true = true[:n_blocks * CAP]
    temps = np.linspace(*temperature, n_blocks)
    temps_c = np.round((temps + 50) * 256 / 75) * 75 / 256 - 50  # as the block will read
    t_sample = np.repeat(temps_c, CAP)[:, None]
    measured = OFFSET + GAIN * true + TCOEF * (t_sample - 25.0)
    start = dt.datetime(2023, 3, 1, 9, 0, 0)
    return write_rec(tmp_path, name, rate_code, [(start, measured, temps)]), rate


def test_calibration_recovers_offsets_gains_and_temperature_terms(tmp_path):
    path, rate = device_recording(tmp_path, DIRECTIONS)
    result = summarize(path)
    cal = result.recording["calibration"]
    assert cal["status"] == "ok"
    assert cal["windows"] >= 200
    tref = cal["temperature_ref"]
    # c = (m - OFFSET - TCOEF (T - 25)) / GAIN = o + s m + t (T - Tref)
    want_scale = 1 / GAIN
    want_coef = -TCOEF / GAIN
    want_offset = (-OFFSET - TCOEF * (tref - 25.0)) / GAIN
    np.testing.assert_allclose(cal["scale"], want_scale, atol=0.005)
    np.testing.assert_allclose(cal["temperature_coef"], want_coef, atol=0.005)
    np.testing.assert_allclose(cal["offset"], want_offset, atol=0.005)
    assert cal["error_after_mg"] < 3
    assert cal["error_before_mg"] > 20
    # The calibrated epochs of the still stretches lie on the unit sphere.
    still_epochs = result.epochs[result.epochs["mad_mg"] < 5]
    norms = np.sqrt(still_epochs["x"] ** 2 + still_epochs["y"] ** 2 + still_epochs["z"] ** 2)
    assert len(norms) > 50 and np.abs(norms - 1).max() < 0.005
    assert_matches(result, tiltgram.read_cwa_file(path), rate)

    # Without it, the samples are used as read.
    plain = summarize(path, calibrate=False)
    assert plain.recording["calibration"]["status"] == "not asked"
    assert plain.recording["calibration"]["offset"] == (0.0, 0.0, 0.0)
    assert plain.recording["calibration"]["error_before_mg"] == cal["error_before_mg"]
    assert_matches(plain, tiltgram.read_cwa_file(path), rate)


@pytest.mark.parametrize("directions, status", [
    (DIRECTIONS[:4], "too few still windows"),             # 40 still windows
    ([d for d in DIRECTIONS if d[2] >= 0], "sphere not covered"),  # never pointing down
], ids=["too few", "never down"])
def test_calibration_refused_leaves_the_data_as_read(tmp_path, directions, status):
    path, rate = device_recording(tmp_path, directions)
    result = summarize(path)
    cal = result.recording["calibration"]
    assert cal["status"] == status
    assert (cal["offset"], cal["scale"], cal["temperature_coef"]) == ((0.0,) * 3, (1.0,) * 3, (0.0,) * 3)
    assert math.isnan(cal["error_after_mg"]) and cal["error_before_mg"] > 20
    df = tiltgram.read_cwa_file(path)
    assert_matches(result, df, rate)
    # Uncalibrated: an epoch's x is the plain mean of the frame's acc_x.
    first = df[df.index < result.epochs.index[0] + pd.Timedelta(seconds=30)]
    assert result.epochs["x"].iloc[0] == pytest.approx(first["acc_x"].astype(np.float64).mean(), rel=1e-12)


def test_calibration_with_an_error_too_high(tmp_path):
    # Gravity of 1.1 g on one side only: no ellipsoid fits both sides.
    directions = DIRECTIONS
    path, _ = device_recording(tmp_path, directions)
    result = summarize(path, calibration_max_error_mg=0.01)
    cal = result.recording["calibration"]
    assert cal["status"] == "error too high"
    assert cal["offset"] == (0.0, 0.0, 0.0)
    assert 0.01 <= cal["error_after_mg"] < 3


@pytest.mark.parametrize("epoch_s", [30, 15, 5])
def test_one_pass_and_two_give_the_same_bits(tmp_path, epoch_s):
    """Without a calibration in use, the first pass fills in the epochs itself; where the
    still windows could have calibrated but the fit's error is too high, the second pass fills
    them in with the samples as read: the same bits either way, non-wear included (epochs
    of 15 s share windows; 10-second windows hold two epochs of 5 s)."""
    path, _ = device_recording(tmp_path, DIRECTIONS)
    options = {"epoch_s": epoch_s, "nonwear_min": 1.5}
    two = summarize(path, calibration_max_error_mg=0.01, **options)
    assert two.recording["calibration"]["status"] == "error too high"
    one = summarize(path, calibrate=False, **options)
    assert len(one.nonwear) > 20 and one.epochs["nonwear"].sum() > 20
    pd.testing.assert_frame_equal(one.epochs, two.epochs, check_exact=True)
    pd.testing.assert_frame_equal(one.days, two.days, check_exact=True)
    pd.testing.assert_frame_equal(one.nonwear, two.nonwear, check_exact=True)


# --- non-wear --------------------------------------------------------------------------------

def test_nonwear_runs_of_59_and_61_minutes_and_a_gap_inside_a_still_stretch(tmp_path):
    rng = np.random.default_rng(7)
    rate_code, rate = 0x46, 6.25
    down = [0.1, 0.2, -0.97]
    t0 = dt.datetime(2023, 5, 2, 8, 0, 0)
    # 12,800 s: whole windows and whole packets (12.8 s) end together.
    first = np.concatenate([moving(500, rate, rng), still(down, 59 * 60, rate, rng),
                            moving(600, rate, rng), still(down, 61 * 60, rate, rng),
                            moving(600, rate, rng), still(down, 65 * 60, rate, rng)])
    assert len(first) % CAP == 0
    resume = t0 + dt.timedelta(seconds=len(first) / rate + 300)  # 5 minutes without data
    second = np.concatenate([still(down, 65 * 60, rate, rng), moving(1024, rate, rng)])
    second = second[:len(second) // CAP * CAP]
    path = write_rec(tmp_path, "nw.cwa", rate_code, [(t0, first, 24.0), (resume, second, 24.0)])
    result = summarize(path)
    base = pd.Timestamp(t0)
    starts = [base + pd.Timedelta(seconds=s) for s in (500 + 3540 + 600, 500 + 3540 + 600 + 3660 + 600)]
    nw = result.nonwear
    assert list(nw.columns) == ["start", "end", "minutes"]
    assert list(nw["start"])[:2] == starts
    assert list(nw["minutes"]) == [61.0, 65.0, 65.0]
    assert nw["start"].iloc[2] == pd.Timestamp(resume)
    assert nw["end"].iloc[1] == base + pd.Timedelta(seconds=len(first) / rate)
    # Hours count whole epochs, at least half of whose samples are non-wear.
    assert result.recording["nonwear_h"] == result.epochs["nonwear"].sum() * 30 / 3600
    assert abs(result.recording["nonwear_h"] - (61 + 65 + 65) / 60) <= 3 * 30 / 3600
    assert_matches(result, tiltgram.read_cwa_file(path), rate)
    # A longer shortest run: only the 65-minute ones.
    assert list(summarize(path, nonwear_min=62).nonwear["minutes"]) == [65.0, 65.0]


# --- epochs and days on three clocks ------------------------------------------------------------

def activity_recording(tmp_path, start, name, gap_at_s=None, gap_s=0.0, minutes=170, seed=3):
    """Movement of changing strength with a 61-minute still stretch; optionally a gap."""
    rng = np.random.default_rng(seed)
    rate_code, rate = 0x46, 6.25
    n = int(minutes * 60 * rate)
    t = np.arange(n) / rate
    strength = 0.02 + 0.6 * np.abs(np.sin(t / 900.0))
    g = np.array([0.3, -0.2, 0.93]) + rng.normal(0, 1, size=(n, 3)) * strength[:, None]
    quiet = (t >= 1800) & (t < 1800 + 61 * 60)
    g[quiet] = np.array([0.0, 0.0, 1.0]) + rng.normal(0, 0.002, size=(quiet.sum(), 3))
    g = g[:n // CAP * CAP]
    temps = 20 + np.arange(len(g) // CAP) % 7
    if gap_at_s is None:
        return write_rec(tmp_path, name, rate_code, [(start, g, temps)]), rate
    k = int(gap_at_s * rate) // CAP * CAP
    later = start + dt.timedelta(seconds=k / rate + gap_s)
    segs = [(start, g[:k], temps[:k // CAP]), (later, g[k:], temps[k // CAP:])]
    return write_rec(tmp_path, name, rate_code, segs), rate


@pytest.mark.parametrize("clock", ["device", "utc+02:00", "utc-05:30 60s epochs", "gap over midnight"])
def test_epochs_and_days_against_numpy(tmp_path, clock):
    start = dt.datetime(2023, 6, 10, 22, 0, 0)  # to 00:50, still from 22:30 to 23:31
    tz, epoch_s, gap, days = None, 30, None, 2
    if clock == "utc+02:00":
        tz, days = dt.timezone(dt.timedelta(hours=2)), 1  # 20:00 to 22:50
    elif clock.startswith("utc-05:30"):
        tz, epoch_s, days = dt.timezone(-dt.timedelta(hours=5, minutes=30)), 60, 1
    elif clock == "gap over midnight":
        gap = (6000, 2 * 3600.0)  # from 23:40 to 01:40
    path, rate = activity_recording(tmp_path, start, "act.cwa",
                                    *(gap if gap else (None, 0.0)))
    result = summarize(path, fixed_utc_offset_timezone=tz, epoch_s=epoch_s)
    df = tiltgram.read_cwa_file(path, fixed_utc_offset_timezone=tz)
    ref = assert_matches(result, df, rate, epoch_s)
    assert str(result.epochs.index.dtype) == str(df.index.dtype)
    assert len(result.nonwear) == 1 and result.nonwear["minutes"].iloc[0] == 61
    assert result.epochs["nonwear"].sum() == 61 * 60 // epoch_s
    assert len(ref["days"]) == days
    if gap:
        assert (result.epochs["samples"] == 0).sum() >= 7200 // epoch_s - 1
        assert result.epochs[result.epochs["samples"] == 0]["enmo_mg"].isna().all()


def test_a_clock_set_back_into_earlier_epochs(tmp_path):
    """Epochs entered again after the clock went back: the third pass gives their MAD."""
    start = dt.datetime(2023, 6, 10, 10, 0, 0)
    rng = np.random.default_rng(11)
    rate_code, rate = 0x46, 6.25
    a = moving(1280, rate, rng)
    b = moving(1280, rate, rng) * 0.5
    path = write_rec(tmp_path, "back.cwa", rate_code,
                     [(start, a, 22.0), (start + dt.timedelta(seconds=600), b, 23.0)])
    result = summarize(path)
    assert_matches(result, tiltgram.read_cwa_file(path), rate)


# --- inputs and options -----------------------------------------------------------------------

def test_gzip_gives_the_same_summary_and_a_pipe_is_refused(tmp_path):
    path, _ = activity_recording(tmp_path, dt.datetime(2023, 6, 10, 9, 0, 0), "act.cwa", minutes=80)
    packed = builders.write(tmp_path / "act.cwa.gz", gzip.compress(open(path, "rb").read(), mtime=0))
    plain, zipped = summarize(path), summarize(packed)
    pd.testing.assert_frame_equal(plain.epochs, zipped.epochs)
    pd.testing.assert_frame_equal(plain.days, zipped.days)
    assert str(plain.recording) == str(zipped.recording)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with pytest.raises(RuntimeError) as err:
        summarize(fifo)
    assert str(err.value) == ("A summary needs a regular file: it reads the recording twice, "
                              "and a pipe can be read only once")


def test_errors(tmp_path):
    empty = builders.write(tmp_path / "empty.cwa", builders.recording(builders.header(), [bytes(512)]))
    with pytest.raises(RuntimeError, match="^No valid sample data found$"):
        summarize(empty)
    with pytest.raises(RuntimeError, match="^IO error: No such file or directory"):
        summarize(tmp_path / "missing.cwa")
    path = builders.write(tmp_path / "one.cwa", builders.recording(
        builders.header(), builders.contiguous_blocks(3)))
    for bad in (7, 0, 7200):
        with pytest.raises(ValueError, match="^epoch_s must be"):
            summarize(path, epoch_s=bad)
    with pytest.raises(TypeError):
        summarize(path, epoch_s=30.0)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="^cutpoints_mg"):
        summarize(path, cutpoints_mg=(90.0, 45.0, 400.0))
    with pytest.raises(ValueError, match="^window_fraction"):
        summarize(path, window_fraction=1.5)
    for tz in ("+02:00", 2):
        with pytest.raises(TypeError) as err:
            summarize(path, fixed_utc_offset_timezone=tz)  # type: ignore[arg-type]
        with pytest.raises(TypeError) as expected:
            tiltgram.read_cwa_file(path, fixed_utc_offset_timezone=tz)
        assert str(err.value) == str(expected.value)

    class Far(dt.tzinfo):
        def utcoffset(self, when):
            return dt.timedelta(days=-10**8)

    # An offset that moves the samples 270,000 years: the times still fit int64, but lie
    # beyond what a summary covers.
    with pytest.raises(RuntimeError, match="beyond 146,000 years"):
        summarize(path, fixed_utc_offset_timezone=Far())
    small = summarize(path)
    assert small.recording["calibration"]["status"] == "too few still windows"
    assert len(small.days) == 1 and small.recording["valid_days"] == 0
